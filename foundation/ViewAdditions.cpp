#include "foundation/ViewAdditions.h"

#include "platform/core/Format.h"
#include "platform/coregraphics/CGGeometry.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace foundation {

namespace {

// The view's dynamic class without its namespace ("NSView", "QNBImageView").
std::string className(const appkit::NSView& view) {
    const char* mangled = typeid(view).name();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(mangled, nullptr, nullptr, &status),
                                                     std::free);
    std::string name = status == 0 && demangled ? demangled.get() : mangled;
    const auto colons = name.rfind("::");
    return colons == std::string::npos ? name : name.substr(colons + 2);
}

std::string describe(const appkit::NSView& view, size_t depth) {
    std::string text = platform::format("<%@: %p; frame = %@>", className(view),
                                        static_cast<const void*>(&view), cg::NSStringFromRect(view.frame()));
    std::string prefix;
    for (size_t i = 0; i <= depth; ++i)
        prefix += "    |";
    for (const auto& subview : view.subviews())
        text += "\n" + prefix + " " + describe(*subview, depth + 1);
    return text;
}

} // namespace

std::string recursiveDescription(const appkit::NSView& view) {
    return describe(view, 0);
}

} // namespace foundation
