#include "platform/kernel/OSSymbol.h"

#include <map>
#include <mutex>

namespace kernel {

OSDefineMetaClassAndStructors(OSSymbol, OSString);

namespace {

struct SymbolPool {
    std::mutex mutex;
    std::map<std::string, OSSymbol*, std::less<>> symbols;
};

SymbolPool& pool() {
    static auto* p = new SymbolPool();
    return *p;
}

} // namespace

const OSSymbol* OSSymbol::withCString(const char* text) {
    if (!text) return nullptr;
    auto& p = pool();
    std::lock_guard lock(p.mutex);
    auto it = p.symbols.find(std::string_view(text));
    // A symbol whose count reached zero may still sit in the pool until its free() runs and
    // is not handed out again. One racing to zero between the test and the retain is caught
    // by free(), which finds its count raised again and keeps the object.
    if (it != p.symbols.end() && it->second->getRetainCount() > 0) {
        it->second->retain();
        return it->second;
    }
    auto* symbol = new OSSymbol;
    symbol->initWithString(text);
    p.symbols[text] = symbol;
    return symbol;
}

void OSSymbol::free() {
    auto& p = pool();
    {
        std::lock_guard lock(p.mutex);
        if (getRetainCount() > 0) return; // revived by withCString
        auto it = p.symbols.find(string());
        if (it != p.symbols.end() && it->second == this) p.symbols.erase(it);
    }
    super::free();
}

} // namespace kernel
