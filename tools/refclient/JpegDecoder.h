// The one wrapper around TurboJPEG's decompressor, and a pool of them on worker threads.
#pragma once

#include "tools/refclient/Bytes.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

namespace refclient {

struct DecodedImage {
    int width = 0;
    int height = 0;
    Bytes bgrx;
};

class JpegDecoder {
public:
    JpegDecoder();
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;

    // Decodes to BGRX with no flags; false with a reason when the bytes are no JPEG
    // of the expected size.
    bool decode(ByteView jpeg, int expectedWidth, int expectedHeight, DecodedImage& out, std::string& error);
    // The same, straight into width x height pixels at destination, rows pitch bytes apart.
    // Nothing is written when the header does not give the expected size.
    bool decodeInto(ByteView jpeg, int expectedWidth, int expectedHeight, uint8_t* destination, size_t pitch,
                    std::string& error);
    // Whether the bytes start with a readable JPEG header of the expected size.
    bool headerFits(ByteView jpeg, int expectedWidth, int expectedHeight);

private:
    bool readHeader(ByteView jpeg, int expectedWidth, int expectedHeight, std::string& error);
    bool decompress(ByteView jpeg, int width, int height, uint8_t* destination, size_t pitch, std::string& error);
    void* m_handle;
};

// Where a job decodes to instead of its own buffer: a rectangle of a picture (its first pixel,
// rows pitch bytes apart), written while holding the picture's lock shared. Whoever queues such
// a job keeps the picture's memory in place until the job is done or dropped.
struct DecodeTarget {
    uint8_t* pixels = nullptr;
    size_t pitch = 0;
    std::shared_mutex* lock = nullptr;
};

// One JPEG handed to the pool. It runs once: on a worker, or on the thread that finishes it
// first (JpegDecodePool::finish), whichever takes it.
class JpegDecodeJob {
public:
    JpegDecodeJob(Bytes jpeg, int width, int height, DecodeTarget target = {})
        : m_jpeg(std::move(jpeg)), m_width(width), m_height(height), m_target(target) {}
    // Whether the pixels go straight into a picture (image() then stays empty).
    bool inPlace() const { return m_target.pixels != nullptr; }
    // Waits for the decoding; false with the decoder's reason when it failed.
    bool wait(std::string& error);
    // The decoded pixels, after wait() answered true.
    DecodedImage& image() { return m_image; }

private:
    friend class JpegDecodePool;
    // True for the one caller that gets to run (or drop) the job.
    bool take();
    void run(JpegDecoder& decoder);
    void finish(bool ok, std::string error);

    Bytes m_jpeg;
    int m_width;
    int m_height;
    DecodeTarget m_target;
    DecodedImage m_image;
    std::string m_error;
    bool m_taken = false;
    bool m_ok = false;
    bool m_done = false;
    std::mutex m_mutex;
    std::condition_variable m_doneChanged;
};

// Which of cpuCount allowed CPUs a pool's worker keeps to: a pool's workers spread evenly, and
// pools whose starts follow one another interleave, so every CPU gets its share.
size_t decodeWorkerCpuSlot(size_t cpuCount, size_t start, size_t worker, size_t workers);

// Decoders on worker threads, one TurboJPEG handle each, so the rectangles of an update
// decode side by side while the stream is read on. Pixel buffers come back for reuse.
class JpegDecodePool {
public:
    // With no workers every job runs on the thread that finishes it.
    explicit JpegDecodePool(size_t workers = defaultWorkerCount());
    // Decodes what is still queued, then joins the workers.
    ~JpegDecodePool();
    JpegDecodePool(const JpegDecodePool&) = delete;
    JpegDecodePool& operator=(const JpegDecodePool&) = delete;

    std::shared_ptr<JpegDecodeJob> decode(Bytes jpeg, int width, int height, DecodeTarget target = {});
    // Waits for a job, running it on the calling thread when no worker has started it yet (the
    // caller would only sleep otherwise); false with the reason when the decoding failed.
    bool finish(JpegDecodeJob& job, std::string& error);
    // Runs a job on the calling thread when no worker has started it yet.
    void runIfUnstarted(JpegDecodeJob& job);
    // A job no longer wanted: one not started never runs, one under way is waited for, so its
    // target may go once this returns.
    void drop(JpegDecodeJob& job);
    // Whether bytes start with a readable JPEG header of the given size (on the caller's thread).
    bool headerFits(ByteView jpeg, int width, int height);
    // A painted image's buffer, kept for a later decoding.
    void recycle(Bytes pixels);
    static size_t defaultWorkerCount();

private:
    void workerMain();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::shared_ptr<JpegDecodeJob>> m_jobs;
    std::vector<Bytes> m_spare;
    bool m_ending = false;
    std::vector<std::thread> m_workers;
    std::mutex m_callerLock; // the caller's own decoder, for jobs it runs itself
    JpegDecoder m_callerDecoder;
};

} // namespace refclient
