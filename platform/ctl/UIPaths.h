// What the `platformctl ui` verbs read and write: element paths ("window \"Prefs\"/#connect[1]"),
// key names ("cmd+shift+w") with U.S. key codes, one element's attributes read in one request,
// its tree line, and the accessibility errors' names.
#pragma once

#include "platform/applicationservices/AXUIElement.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ctl::ui {

// One segment: "#ident", "\"text\"", or a kind with an optional " #ident" and " \"text\"",
// then an optional "[n]". A kind is one of the short names (window, button, item, ...) or, as
// `ui tree` prints it, a role ("AXButton") or role and subrole ("AXButton/AXCloseButton"); so the
// start of a tree line (`AXButton #connectButton "Disconnect"`) is a segment too.
struct PathSegment {
    enum Kind { Identifier, Text, Role };
    Kind kind = Role;
    std::string identifier; // Identifier; for Role, an optional identifier the element must have
    std::string kindName;   // Role: window, button, ... or empty for a role name
    std::string role;       // Role given by its accessibility name ("AXButton")
    std::string subrole;    // and, optionally, its subrole ("AXCloseButton")
    std::optional<std::string> text;
    size_t index = 0;

    // The first element of a short-named kind ("menu", "menuitem").
    static PathSegment ofKind(std::string kind) {
        PathSegment s;
        s.kindName = std::move(kind);
        return s;
    }
};

// What `platformctl help` says of paths and keys.
extern const char* const kPathAndKeyHelp;

// nullopt (error says why) for a malformed path or an unknown kind.
std::optional<std::vector<PathSegment>> parsePath(const std::string& path, std::string& error);

// A key with its modifiers: key code (U.S. layout) and Quartz flag bits.
struct KeyStroke {
    uint16_t keyCode = 0;
    uint64_t flags = 0;
};
// nullopt (error says why) for an unknown name or modifier.
std::optional<KeyStroke> parseKey(const std::string& text, std::string& error);
// The key typing a character on the U.S. layout (with shift when needed); nullopt for one it has
// no key for (such characters travel as the event's text alone).
std::optional<KeyStroke> keyForCharacter(char32_t c);
// Modifier keys: Command 55, Shift 56, Option 58, Control 59, with their flags.
std::vector<std::pair<uint16_t, uint64_t>> modifierKeys(uint64_t flags);

// One element as the verbs see it.
struct Element {
    ax::AXUIElementRef ref;
    std::string role, subrole, identifier, title, description;
    std::optional<cf::Value> value;
    bool enabled = true;
    bool focused = false;
    std::optional<cg::CGRect> frame;
    std::vector<ax::AXUIElementRef> children;
    std::string markChar; // "AXMenuItemMarkChar" when the element has one
};
// Reads the element's attributes in one request.
ax::AXError readElement(const ax::AXUIElementRef& ref, Element* out);

// "ROLE[/SUBROLE] [#ident] [\"title\"] [value=\"V\"] [disabled] [focused] frame=X,Y,W,H id=N".
std::string treeLine(const Element& element);
// A value as the tree prints it: texts as they are, numbers with %g, booleans 1 or 0.
std::string valueText(const cf::Value& value);
// "kAXErrorCannotComplete" for -25204, ...
std::string errorName(ax::AXError error);

// Finds elements below a root by path, reading each element once per search.
class PathResolver {
  public:
    explicit PathResolver(ax::AXUIElementRef root) : m_root(std::move(root)) {}
    // The element the path names; nullopt with status kAXErrorSuccess when nothing matches, with
    // an error when a read failed.
    std::optional<Element> resolve(const std::vector<PathSegment>& path, ax::AXError* status);
    // A read element (cached).
    const Element* element(const ax::AXUIElementRef& ref, ax::AXError* status);

  private:
    bool matches(const PathSegment& segment, const Element& element, const Element* parent,
                 ax::AXError* status);
    bool subtreeHasText(const Element& element, const std::string& text, int depth, ax::AXError* status);
    // Depth-first, below start; answers the n-th match.
    const Element* search(const Element& start, const PathSegment& segment, ax::AXError* status);

    ax::AXUIElementRef m_root;
    std::map<uint64_t, Element> m_cache;
    size_t m_visited = 0;
};

} // namespace ctl::ui
