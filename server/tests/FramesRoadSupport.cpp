#include "server/tests/FramesRoadSupport.h"

#include "foundation/Vocabulary.h"
#include "platform/core/Format.h"
#include "platform/foundation/PNG.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include <turbojpeg.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <sstream>

namespace server::testing {

namespace {

constexpr double kEventBound = 20.0; // seconds: an event that takes longer is a failure
constexpr int kFlatTolerance = 4;
constexpr double kPhotoPSNR = 40.0;

using platformd::testing::PrivatePlatformd;
using platformd::testing::runProgram;

// "<ms> <source> <event> key=value ...": the event and its fields.
struct LogLine {
    std::string event;
    std::map<std::string, std::string> fields;
    int integer(const std::string& key) const {
        auto at = fields.find(key);
        return at == fields.end() ? -1 : std::atoi(at->second.c_str());
    }
};

LogLine parse(const std::string& line) {
    LogLine parsed;
    std::istringstream in(line);
    std::string word;
    in >> word >> word >> parsed.event;
    while (in >> word) {
        size_t eq = word.find('=');
        if (eq != std::string::npos) parsed.fields[word.substr(0, eq)] = word.substr(eq + 1);
    }
    return parsed;
}

// A rectangle the device paints: a JPEG record of non-zero size with a payload.
bool paints(const LogLine& line) {
    return line.event == "rect" && line.integer("enc") == 4 && line.integer("w") > 0 &&
           line.integer("h") > 0 && line.integer("len") > 0;
}

// Whether every painting rectangle of `before` was painted before `before` was read, and
// `after` (read after the picture) logged no further one: the picture then shows exactly the
// rectangles of `before`. (A rectangle is logged before it is painted; the next line of the
// device's one thread follows its painting.)
bool paintedExactly(const std::vector<std::string>& before, const std::vector<std::string>& after) {
    size_t lastPainting = std::string::npos, paintingBefore = 0, paintingAfter = 0;
    for (size_t i = 0; i < before.size(); ++i)
        if (paints(parse(before[i]))) {
            lastPainting = i;
            ++paintingBefore;
        }
    for (const auto& line : after)
        if (paints(parse(line))) ++paintingAfter;
    if (paintingAfter != paintingBefore) return false;
    return lastPainting == std::string::npos || lastPainting + 1 < before.size();
}

cf::Value connectRequest(const std::string& host, const std::string& name) {
    return cf::Dictionary{{foundation::kConnectToHostName, host},
                          {foundation::kServiceKey, "local.~_qnexvscreen._udp~" + name},
                          {foundation::kDisplayNameKey, name}};
}

} // namespace

::testing::AssertionResult ctl(const std::vector<std::string>& args) {
    std::vector<std::string> argv{PrivatePlatformd::platformctlPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    auto r = runProgram(argv);
    if (r.status == 0) return ::testing::AssertionSuccess();
    std::string command;
    for (const auto& a : args)
        command += " " + a;
    return ::testing::AssertionFailure()
           << "platformctl" << command << " exited " << r.status << ": " << r.err << r.out;
}

std::string hex(uint32_t value) {
    return platform::format("0x%x", value);
}

std::string number(double value) {
    std::ostringstream out;
    out.precision(17);
    out << value;
    return out.str();
}

std::optional<DisplayCounters> displayCounters(uint32_t displayID) {
    auto reply =
        connection()->request(windowserver::op::counters, cf::Dictionary{{"display", int64_t(displayID)}});
    if (!reply.ok || !reply.result) return std::nullopt;
    const cf::Value* status = reply.result->find("status");
    if (status && status->integerValue() != 0) return std::nullopt;
    auto get = [&](const char* key) {
        const cf::Value* v = reply.result->find(key);
        return v && v->isNumber() ? v->integerValue() : int64_t(0);
    };
    return DisplayCounters{get("vblanks"), get("compositions"), get("grabs"), get("streamFrames"),
                           get("streamSkipped")};
}

std::optional<windowserver::DisplayInfo> displayInfo(uint32_t displayID) {
    auto reply = connection()->request(windowserver::op::displays);
    const cf::Value* list = reply.ok && reply.result ? reply.result->find("displays") : nullptr;
    for (size_t i = 0; list && i < list->count(); ++i) {
        auto d = windowserver::DisplayInfo::fromValue(*list->at(i));
        if (d && d->displayID == displayID && d->online) return d;
    }
    return std::nullopt;
}

std::optional<DisplayPixels> readDisplay(uint32_t displayID, const std::string& folder) {
    static int serial = 0;
    auto display = displayInfo(displayID);
    if (!display) return std::nullopt;
    const std::string path = folder + "/display-" + std::to_string(++serial) + ".bgrx";
    if (!ctl({"read-display", hex(displayID), "--bgrx", path})) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ::unlink(path.c_str());
    DisplayPixels pixels{int(display->pixelsWide), int(display->pixelsHigh), std::move(bytes)};
    if (pixels.bgrx.size() != size_t(pixels.width) * size_t(pixels.height) * 4) return std::nullopt;
    return pixels;
}

void EdgeMask::add(const DisplayPixels& source) {
    if (source.width != width || source.height != height) {
        width = source.width;
        height = source.height;
        edge.assign(size_t(width) * size_t(height), false);
    }
    auto colour = [&](int x, int y) {
        const uint8_t* p = source.bgrx.data() + (size_t(y) * size_t(width) + size_t(x)) * 4;
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
    };
    // A decoded pixel's chroma comes from its 2 × 2 sample and, by the upsampling filter, the
    // neighbouring samples on its side: source pixels x − 2 … x + 1 for an even x, x − 1 … x + 2
    // for an odd one (rows alike). It is on an edge when these are not all of its colour.
    auto low = [](int v) { return v % 2 == 0 ? v - 2 : v - 1; };
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const uint32_t c = colour(x, y);
            bool differs = false;
            for (int ny = low(y); ny <= low(y) + 3 && !differs; ++ny)
                for (int nx = low(x); nx <= low(x) + 3 && !differs; ++nx)
                    differs = colour(std::clamp(nx, 0, width - 1), std::clamp(ny, 0, height - 1)) != c;
            if (differs) edge[size_t(y) * size_t(width) + size_t(x)] = true;
        }
}

Tolerance compareWithin(const refclient::Picture& picture, const DisplayPixels& source, const EdgeMask& edges,
                        const std::optional<PixelRect>& photo) {
    Tolerance t;
    const int w = source.width, h = source.height;
    auto at = [&](int x, int y) {
        const uint8_t* p = source.bgrx.data() + (size_t(y) * size_t(w) + size_t(x)) * 4;
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
    };
    auto channelDifference = [](uint32_t a, uint32_t b) {
        int worst = 0;
        for (int shift = 0; shift < 24; shift += 8)
            worst = std::max(worst, std::abs(int((a >> shift) & 0xFF) - int((b >> shift) & 0xFF)));
        return worst;
    };
    const bool masked = edges.width == w && edges.height == h;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            if (!masked || edges.edge[size_t(y) * size_t(w) + size_t(x)]) continue;
            ++t.flatPixels;
            const int d = channelDifference(picture.pixel(x, y), at(x, y));
            if (d > t.worstFlat) {
                t.worstFlat = d;
                t.worstX = x;
                t.worstY = y;
            }
        }
    }
    t.psnr = std::numeric_limits<double>::infinity();
    if (photo) {
        double squares = 0;
        size_t samples = 0;
        for (int y = std::max(photo->y + 1, 0); y < std::min(photo->y + photo->height - 1, h); ++y)
            for (int x = std::max(photo->x + 1, 0); x < std::min(photo->x + photo->width - 1, w); ++x) {
                const uint32_t a = picture.pixel(x, y), b = at(x, y);
                for (int shift = 0; shift < 24; shift += 8) {
                    const double d = double((a >> shift) & 0xFF) - double((b >> shift) & 0xFF);
                    squares += d * d;
                    ++samples;
                }
            }
        if (samples == 0) {
            t.psnr = 0;
        } else if (squares > 0) {
            t.psnr = 10 * std::log10(255.0 * 255.0 / (squares / double(samples)));
        }
    }
    return t;
}

bool replayRectangles(refclient::Picture& replay, const std::vector<std::string>& log, size_t from,
                      const DisplayPixels& source, std::string& why) {
    tjhandle compressor = tjInitCompress();
    if (!compressor) {
        why = "no JPEG compressor";
        return false;
    }
    bool ok = true;
    for (size_t i = from; i < log.size() && ok; ++i) {
        const LogLine line = parse(log[i]);
        if (line.event == "resolution") {
            replay.resize(line.integer("w"), line.integer("h"));
            continue;
        }
        if (!paints(line)) continue;
        const int x = line.integer("x"), y = line.integer("y"), w = line.integer("w"), h = line.integer("h");
        if (x < 0 || y < 0 || x + w > source.width || y + h > source.height) {
            why = "logged rectangle outside the display: " + log[i];
            ok = false;
            break;
        }
        unsigned char* jpeg = nullptr;
        unsigned long size = 0;
        const uint8_t* origin = source.bgrx.data() + (size_t(y) * size_t(source.width) + size_t(x)) * 4;
        if (tjCompress2(compressor, origin, w, source.width * 4, h, TJPF_BGRX, &jpeg, &size, TJSAMP_420, 99,
                        TJFLAG_FASTDCT) != 0) {
            why = std::string("re-encoding failed: ") + tjGetErrorStr2(compressor);
            ok = false;
        } else if (!replay.paintJpeg(x, y, w, h, refclient::ByteView(jpeg, size), why)) {
            ok = false;
        }
        tjFree(jpeg);
    }
    tjDestroy(compressor);
    return ok;
}

FramesDevice::FramesDevice(const std::string& root, std::string address,
                           const std::function<void(refclient::Config&)>& tweak)
    : m_root(root), m_address(std::move(address)) {
    refclient::Config config;
    config.bindAddress = m_address;
    config.announce = false;
    config.lenient = false;
    config.name = "Ref-" + m_address;
    m_pngPath = m_root + "/picture-" + m_address + ".png";
    config.pngPath = m_pngPath;
    if (tweak) tweak(config);
    m_answersEmptyUpdates = !config.noEmptyAnswers;
    m_client = std::make_unique<refclient::Client>(config);
}

FramesDevice::~FramesDevice() {
    m_client->stop();
}

bool FramesDevice::start() {
    std::string error;
    if (m_client->start(&error)) return true;
    ADD_FAILURE() << "the device on " << m_address << " did not start: " << error;
    return false;
}

bool FramesDevice::invite() {
    const int64_t since = lastSequence();
    const std::string name = "Ref-" + m_address;
    post(foundation::kConnectServerToHost, connectRequest(m_address, name));
    if (!waitEvent("distributed-post",
                   {{"name", foundation::kServerConnectedToDevice}, {"userInfo.DeviceName", m_address}},
                   since))
        return false;
    auto added = waitEvent(std::string(windowserver::eventKind::displayAdded), {}, since);
    if (!added || !added->find("id")) return false;
    m_displayID = uint32_t(added->find("id")->integerValue());
    if (!m_answersEmptyUpdates) {
        // Its one request came before activation and was answered empty; the session's frames
        // start at a request after activation, so the test asks for it as often as needed.
        const auto deadline = platform::now() + platform::seconds(kEventBound);
        while (!m_client->snapshot().activated && platform::now() < deadline) {
            m_client->sendStream({0x20});
            waitFor([](const refclient::Snapshot& s) { return s.activated; }, 0.5);
        }
    }
    return waitFor([](const refclient::Snapshot& s) { return s.activated; });
}

bool FramesDevice::waitFor(const std::function<bool(const refclient::Snapshot&)>& predicate,
                           double seconds) const {
    return m_client->waitFor(predicate, platform::seconds(seconds));
}

std::vector<std::string> FramesDevice::logLines(const std::string& event) const {
    std::vector<std::string> found;
    for (const auto& line : m_client->log())
        if (parse(line).event == event) found.push_back(line);
    return found;
}

::testing::AssertionResult
FramesDevice::settleAndCompare(const std::string& phase, const std::optional<PixelRect>& photo, bool replay) {
    const auto deadline = platform::now() + platform::seconds(kEventBound);
    std::string last = "nothing compared";
    int exactMisses = 0;
    while (true) {
        const uint64_t frames = m_client->snapshot().frames;
        auto before = counters();
        auto source = readDisplay(m_displayID, m_root);
        const auto logBefore = m_client->log();
        const refclient::Picture picture = m_client->picture();
        const auto logAfter = m_client->log();
        auto after = counters();
        if (!before || !after || !source) {
            last = "the display could not be read";
        } else if (!before->sameWork(*after, 1)) { // read-display grabs once
            last = platform::format(
                "the display was still at work: compositions %lld to %lld, grabs %lld to %lld, "
                "stream frames %lld to %lld",
                (long long)before->compositions, (long long)after->compositions, (long long)before->grabs,
                (long long)after->grabs, (long long)before->streamFrames, (long long)after->streamFrames);
        } else if (!paintedExactly(logBefore, logAfter)) {
            last = "a logged rectangle was still being painted: " + logAfter.back();
        } else if (picture.width() != source->width || picture.height() != source->height) {
            last = platform::format("the picture is %dx%d, the display %dx%d", picture.width(),
                                    picture.height(), source->width, source->height);
        } else {
            EdgeMask edges = m_edges;
            edges.add(*source);
            const Tolerance t = compareWithin(picture, *source, edges, photo);
            if (t.worstFlat > kFlatTolerance || t.psnr <= kPhotoPSNR) {
                last = platform::format("off by %d at flat pixel (%d, %d) of %zu; photo PSNR %.2f dB",
                                        t.worstFlat, t.worstX, t.worstY, t.flatPixels, t.psnr);
            } else if (!replay) {
                m_replay = picture;
                m_replayed = logBefore.size();
                m_edges = std::move(edges);
                return ::testing::AssertionSuccess();
            } else {
                refclient::Picture replay = m_replay;
                std::string why;
                if (!replayRectangles(replay, logBefore, m_replayed, *source, why))
                    return ::testing::AssertionFailure() << phase << ": " << why;
                if (replay.width() == picture.width() && replay.height() == picture.height() &&
                    replay.pixels() == picture.pixels()) {
                    m_replay = std::move(replay);
                    m_replayed = logBefore.size();
                    m_edges = std::move(edges);
                    return ::testing::AssertionSuccess();
                }
                size_t differing = 0;
                int firstX = -1, firstY = -1;
                for (int y = 0; y < picture.height(); ++y)
                    for (int x = 0; x < picture.width(); ++x)
                        if (replay.pixel(x, y) != picture.pixel(x, y) && differing++ == 0) {
                            firstX = x;
                            firstY = y;
                        }
                last = platform::format(
                    "within tolerance (worst %d, PSNR %.2f dB), but the replay differs at %zu "
                    "pixels, first (%d, %d)",
                    t.worstFlat, t.psnr, differing, firstX, firstY);
                // A frame still on its way may explain it once; twice more is a fault.
                if (++exactMisses > 2) break;
            }
        }
        if (platform::now() >= deadline) break;
        // The next frame, or a second of quiet, before looking again.
        m_client->waitFor([frames](const refclient::Snapshot& s) { return s.frames > frames; },
                          platform::seconds(1.0));
    }
    // For a person reading a failure: the picture, the display's pixels (raw BGRX) and the log.
    if (const char* dump = ::getenv("FRAMES_ROAD_DUMP")) {
        const refclient::Picture picture = m_client->picture();
        if (auto source = readDisplay(m_displayID, m_root)) {
            std::ofstream(std::string(dump) + "/" + phase + ".source.bgrx", std::ios::binary)
                .write(reinterpret_cast<const char*>(source->bgrx.data()),
                       std::streamsize(source->bgrx.size()));
        }
        std::ofstream(std::string(dump) + "/" + phase + ".picture.bgrx", std::ios::binary)
            .write(reinterpret_cast<const char*>(picture.pixels().data()),
                   std::streamsize(picture.pixels().size()));
        std::ofstream log(std::string(dump) + "/" + phase + ".log");
        for (const auto& line : m_client->log())
            log << line << "\n";
    }
    return ::testing::AssertionFailure() << phase << ": " << last;
}

::testing::AssertionResult FramesDevice::pngMatchesPicture() {
    m_client->stop();
    const refclient::Picture picture = m_client->picture();
    const std::string bytes = platformd::testing::readFile(m_pngPath);
    platform::Error error;
    auto image = png::decode(std::vector<uint8_t>(bytes.begin(), bytes.end()), &error);
    if (!image) return ::testing::AssertionFailure() << m_pngPath << ": " << error.localizedDescription();
    if (int(image->width) != picture.width() || int(image->height) != picture.height())
        return ::testing::AssertionFailure() << "the PNG is " << image->width << "x" << image->height;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) {
            const uint8_t* p = image->rgba.data() + (size_t(y) * image->width + size_t(x)) * 4;
            const uint32_t rgb = uint32_t(p[2]) | uint32_t(p[1]) << 8 | uint32_t(p[0]) << 16;
            if (rgb != picture.pixel(x, y))
                return ::testing::AssertionFailure() << "the PNG differs at (" << x << ", " << y << ")";
        }
    return ::testing::AssertionSuccess();
}

} // namespace server::testing
