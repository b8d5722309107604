#include "input/NSPasteboardSaveAndRestore.h"

namespace input {

cf::Dictionary save(appkit::NSPasteboard& pasteboard) {
    cf::Dictionary saved;
    for (const std::string& type : pasteboard.types())
        if (auto data = pasteboard.dataForType(type))
            saved.insert_or_assign(type, cf::Value(std::move(*data)));
    return saved;
}

void restore(appkit::NSPasteboard& pasteboard, const cf::Dictionary& saved) {
    pasteboard.clearContents();
    for (const auto& [type, data] : saved)
        if (const cf::Bytes* bytes = data.asData()) pasteboard.setData(*bytes, type);
}

} // namespace input
