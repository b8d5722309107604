// platformctl's pixel verbs: test windows drawn, moved and erased as the hooks' own (they stay
// after platformctl ends), display images written as PNG or raw BGRX, a display's counters, and
// poison for stream surfaces given back.
#include "platform/core/Format.h"
#include "platform/coregraphics/DisplayImageClient.h"
#include "platform/ctl/Platformctl.h"
#include "platform/foundation/PNG.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include <fstream>
#include <iterator>
#include <ostream>

namespace ctl {

namespace {

// Larger files are no window's pixels (16384 × 16384 × 4 would not cross the socket anyway).
constexpr std::streamsize kMaxPixelFileBytes = 64 << 20;

bool writeFile(const std::string& path, const uint8_t* bytes, size_t length) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes), std::streamsize(length));
    return bool(out);
}

} // namespace

int Platformctl::draw(const std::vector<std::string>& args) {
    const char* usageText = "draw [--window NAME] [--layer N] (display ID | rect X Y W H) "
                            "(solid RRGGBB | blocks N | photo SEED | pixels FILE)";
    cf::Dictionary request{{"hook", true}, {"name", std::string("test")}};
    size_t i = 0;
    for (; i + 1 < args.size() && args[i].rfind("--", 0) == 0; i += 2) {
        if (args[i] == "--window") {
            if (args[i + 1].empty() || args[i + 1].size() > 256) return usage("draw: --window needs a name");
            request.insert_or_assign("name", cf::Value(args[i + 1]));
        } else if (args[i] == "--layer") {
            auto layer = parseInteger(args[i + 1]);
            if (!layer || *layer < -1000 || *layer > 1000) return usage("draw: --layer needs -1000 to 1000");
            request.insert_or_assign("layer", cf::Value(int64_t(*layer)));
        } else {
            return usage(usageText);
        }
    }
    std::vector<std::string> p(args.begin() + std::ptrdiff_t(i), args.end());
    size_t at = 0;
    if (p.size() >= 2 && p[0] == "display") {
        auto id = displayID(p[1]);
        if (!id) return usage("draw: \"" + p[1] + "\" is no display id (0x102 or 258)");
        request.insert_or_assign("display", cf::Value(int64_t(*id)));
        at = 2;
    } else if (p.size() >= 5 && p[0] == "rect") {
        auto x = coordinate(p[1]), y = coordinate(p[2]), w = coordinate(p[3]), h = coordinate(p[4]);
        if (!x || !y || !w || !h || *w <= 0 || *h <= 0)
            return usage("draw rect X Y W H: finite numbers, W and H above 0");
        request.insert_or_assign("x", cf::Value(*x));
        request.insert_or_assign("y", cf::Value(*y));
        request.insert_or_assign("width", cf::Value(*w));
        request.insert_or_assign("height", cf::Value(*h));
        at = 5;
    } else {
        return usage(usageText);
    }
    if (p.size() != at + 2) return usage(usageText);
    const std::string& pattern = p[at];
    const std::string& operand = p[at + 1];
    request.insert_or_assign("pattern", cf::Value(pattern));
    if (pattern == "solid") {
        char* end = nullptr;
        unsigned long rgb = operand.size() == 6 ? std::strtoul(operand.c_str(), &end, 16) : 0;
        if (operand.size() != 6 || !end || *end) return usage("draw solid: RRGGBB in hex");
        request.insert_or_assign("value", cf::Value(int64_t(rgb)));
    } else if (pattern == "blocks" || pattern == "photo") {
        auto n = parseInteger(operand);
        if (!n || *n < 0 || *n > 0xFFFFFF) return usage("draw " + pattern + ": a number from 0 to 16777215");
        if (pattern == "blocks" && *n == 0) return fail("draw blocks: the block size must be at least 1");
        request.insert_or_assign("value", cf::Value(int64_t(*n)));
    } else if (pattern == "pixels") {
        std::ifstream in(operand, std::ios::binary);
        if (!in) return fail("draw pixels: cannot read " + operand);
        in.seekg(0, std::ios::end);
        std::streamsize size = in.tellg();
        in.seekg(0);
        if (size <= 0 || size > kMaxPixelFileBytes)
            return fail(platform::format("draw pixels: %@ is empty or larger than %lld bytes", operand,
                                         static_cast<long long>(kMaxPixelFileBytes)));
        cf::Bytes bytes(static_cast<size_t>(size));
        if (!in.read(reinterpret_cast<char*>(bytes.data()), size))
            return fail("draw pixels: cannot read " + operand);
        static constexpr uint8_t kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
        if (bytes.size() >= 8 && std::equal(std::begin(kSignature), std::end(kSignature), bytes.begin())) {
            platform::Error error;
            auto image = png::decode(bytes, &error);
            if (!image)
                return fail("draw pixels: " + operand +
                            " is no readable PNG: " + error.localizedDescription());
            // Straight RGBA to premultiplied BGRA, the window server's own.
            bytes.resize(image->rgba.size());
            for (size_t k = 0; k < image->rgba.size(); k += 4) {
                uint32_t a = image->rgba[k + 3];
                bytes[k] = uint8_t((image->rgba[k + 2] * a + 127) / 255);
                bytes[k + 1] = uint8_t((image->rgba[k + 1] * a + 127) / 255);
                bytes[k + 2] = uint8_t((image->rgba[k] * a + 127) / 255);
                bytes[k + 3] = uint8_t(a);
            }
        } else if (bytes.size() % 4) {
            return fail("draw pixels: " + operand + " is neither a PNG nor whole BGRA pixels");
        }
        request.insert_or_assign("value", cf::Value(int64_t(0)));
        request.insert_or_assign("pixels", cf::Value(std::move(bytes)));
    } else {
        return usage(usageText);
    }
    int code;
    const std::string name = *request.at("name").asString();
    auto result = this->request(windowserver::op::draw, cf::Value(std::move(request)), code, nullptr,
                                p[0] == "display" ? std::string_view(p[1]) : std::string_view());
    if (!result) return code;
    std::string where = p[0] + " " + p[1];
    for (size_t k = 2; k < at; ++k)
        where += " " + p[k];
    return changed("drew window " + name + " over " + where + ": " + pattern + " " + operand);
}

int Platformctl::move(const std::vector<std::string>& args) {
    auto parsed = parse(args, {}, 3, 3);
    if (!parsed) return kUsage;
    const auto& p = parsed->positionals();
    auto x = coordinate(p[1]), y = coordinate(p[2]);
    if (!x || !y) return usage("move NAME X Y: X and Y are finite numbers");
    int code;
    auto result = request(windowserver::op::move,
                          cf::Dictionary{{"hook", true}, {"name", p[0]}, {"x", *x}, {"y", *y}}, code);
    return result ? changed(platform::format("moved window %@ to %g,%g", p[0], *x, *y)) : code;
}

int Platformctl::erase(const std::vector<std::string>& args) {
    auto parsed = parse(args, {}, 0, 1);
    if (!parsed) return kUsage;
    cf::Dictionary request{{"hook", true}};
    if (!parsed->positionals().empty()) request.insert_or_assign("name", cf::Value(parsed->positionals()[0]));
    int code;
    auto result = this->request(windowserver::op::erase, cf::Value(std::move(request)), code);
    if (!result) return code;
    return changed(parsed->positionals().empty() ? "erased every drawn window"
                                                 : "erased window " + parsed->positionals()[0]);
}

int Platformctl::readDisplay(const std::vector<std::string>& args) {
    const char* usageText = "read-display ID (--png | --bgrx) FILE";
    if (args.size() != 3 || (args[1] != "--png" && args[1] != "--bgrx")) return usage(usageText);
    auto id = displayID(args[0]);
    if (!id) return usage("read-display: \"" + args[0] + "\" is no display id (0x102 or 258)");
    int code;
    std::vector<ipc::UniqueFd> fds;
    auto result =
        request(windowserver::op::displayImage, cf::Dictionary{{"display", int64_t(*id)}}, code, &fds);
    if (!result) return code;
    const cf::Value* status = result->find("status");
    if (!status || status->integerValue() != 0)
        return fail(platform::format("read-display: no display 0x%x online", *id));
    auto number = [&](std::string_view key) {
        const cf::Value* v = result->find(key);
        return v && v->isNumber() ? v->integerValue() : int64_t(-1);
    };
    int64_t w = number("width"), h = number("height"), bpr = number("bytesPerRow");
    if (fds.size() != 1 || w <= 0 || h <= 0 || bpr <= 0) return fail("read-display: the answer is malformed");
    auto image = cg::CGImageCreateWithSealedMemory(fds[0].get(), size_t(w), size_t(h), size_t(bpr));
    if (!image) return fail("read-display: the image's memory is unusable");
    const uint8_t* pixels = cg::CGImageGetBytePtr(image);
    bool written;
    if (args[1] == "--png") {
        platform::Error error;
        auto file =
            png::encode(pixels, uint32_t(w), uint32_t(h), size_t(bpr), png::PixelFormat::BGRX, &error);
        if (!file) return fail("read-display: " + error.localizedDescription());
        written = writeFile(args[2], file->data(), file->size());
    } else {
        // Packed rows, B, G, R, X.
        std::vector<uint8_t> packed(size_t(w) * size_t(h) * 4);
        for (int64_t y = 0; y < h; ++y)
            std::copy_n(pixels + size_t(y) * size_t(bpr), size_t(w) * 4,
                        packed.data() + size_t(y) * size_t(w) * 4);
        written = writeFile(args[2], packed.data(), packed.size());
    }
    return written ? kSuccess : fail("read-display: cannot write " + args[2]);
}

int Platformctl::counters(const std::vector<std::string>& args) {
    auto parsed = parse(args, {}, 1, 1);
    if (!parsed) return kUsage;
    auto id = displayID(parsed->positionals()[0]);
    if (!id) return usage("counters: \"" + parsed->positionals()[0] + "\" is no display id (0x102 or 258)");
    int code;
    auto result = request(windowserver::op::counters, cf::Dictionary{{"display", int64_t(*id)}}, code);
    if (!result) return code;
    auto number = [&](std::string_view key) -> long long {
        const cf::Value* v = result->find(key);
        return v && v->isNumber() ? v->integerValue() : 0;
    };
    m_out << platform::format(
                 "vblanks=%lld compositions=%lld grabs=%lld stream-frames=%lld stream-skipped=%lld "
                 "composed-at=%lld",
                 number("vblanks"), number("compositions"), number("grabs"), number("streamFrames"),
                 number("streamSkipped"), number("composedAt"))
          << "\n";
    return kSuccess;
}

int Platformctl::poison(const std::vector<std::string>& args) {
    if (args.size() != 1 || (args[0] != "on" && args[0] != "off")) return usage("poison on|off");
    int code;
    auto result = request(windowserver::op::poison, cf::Dictionary{{"on", args[0] == "on"}}, code);
    return result ? changed("poison " + args[0]) : code;
}

} // namespace ctl
