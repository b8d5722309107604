// Fonts are records of a name and a size; every font draws as DejaVu Sans (bold for names
// ending "-Bold"), through Core Graphics' text calls.
#pragma once

#include <memory>
#include <string>

namespace appkit {

class NSFont {
  public:
    // Never null: a size of 0 or less (or not finite) is the default 12 points.
    static std::shared_ptr<NSFont> fontWithName(const std::string& name, double size);
    static std::shared_ptr<NSFont> systemFontOfSize(double size);
    static std::shared_ptr<NSFont> boldSystemFontOfSize(double size);
    static double systemFontSize() { return 13; }

    const std::string& fontName() const { return m_name; }
    double pointSize() const { return m_size; }
    // Makes this the current context's font.
    void set() const;

    NSFont(std::string name, double size) : m_name(std::move(name)), m_size(size) {}

  private:
    std::string m_name;
    double m_size;
};

} // namespace appkit
