// The one wrapper around TurboJPEG's decompressor, and a pool of them on worker threads.
#pragma once

#include "tools/refclient/Bytes.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
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

private:
    void* m_handle;
};

// One JPEG handed to the pool; the result is read once done() says so.
class JpegDecodeJob {
public:
    JpegDecodeJob(Bytes jpeg, int width, int height) : m_jpeg(std::move(jpeg)), m_width(width), m_height(height) {}
    // Waits for the decoding; false with the decoder's reason when it failed.
    bool wait(std::string& error);
    // The decoded pixels, after wait() answered true.
    DecodedImage& image() { return m_image; }

private:
    friend class JpegDecodePool;
    void run(JpegDecoder& decoder);

    Bytes m_jpeg;
    int m_width;
    int m_height;
    DecodedImage m_image;
    std::string m_error;
    bool m_ok = false;
    bool m_done = false;
    std::mutex m_mutex;
    std::condition_variable m_doneChanged;
};

// Decoders on worker threads, one TurboJPEG handle each, so the rectangles of an update
// decode side by side while the stream is read on. Pixel buffers come back for reuse.
class JpegDecodePool {
public:
    explicit JpegDecodePool(size_t workers = defaultWorkerCount());
    // Decodes what is still queued, then joins the workers.
    ~JpegDecodePool();
    JpegDecodePool(const JpegDecodePool&) = delete;
    JpegDecodePool& operator=(const JpegDecodePool&) = delete;

    std::shared_ptr<JpegDecodeJob> decode(Bytes jpeg, int width, int height);
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
};

} // namespace refclient
