#include "tools/refclient/JpegDecoder.h"

#include "platform/core/Format.h"

#include <turbojpeg.h>

#include <algorithm>

namespace refclient {

JpegDecoder::JpegDecoder() : m_handle(tjInitDecompress()) {}

JpegDecoder::~JpegDecoder() {
    if (m_handle) tjDestroy(m_handle);
}

bool JpegDecoder::decode(ByteView jpeg, int expectedWidth, int expectedHeight, DecodedImage& out,
                         std::string& error) {
    if (!m_handle) {
        error = "no JPEG decompressor";
        return false;
    }
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(m_handle, jpeg.data(), static_cast<unsigned long>(jpeg.size()), &width, &height,
                            &subsampling, &colorspace) != 0) {
        error = platform::format("JPEG header unreadable: %@", tjGetErrorStr2(m_handle));
        return false;
    }
    if (width != expectedWidth || height != expectedHeight) {
        error = platform::format("JPEG of %dx%d for a %dx%d rectangle", width, height, expectedWidth, expectedHeight);
        return false;
    }
    out.width = width;
    out.height = height;
    // Every pixel is written by the decoder: a reused buffer needs no clearing.
    out.bgrx.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
    if (tjDecompress2(m_handle, jpeg.data(), static_cast<unsigned long>(jpeg.size()), out.bgrx.data(), width, 0,
                      height, TJPF_BGRX, 0) != 0) {
        error = platform::format("JPEG undecodable: %@", tjGetErrorStr2(m_handle));
        return false;
    }
    return true;
}

bool JpegDecodeJob::wait(std::string& error) {
    std::unique_lock lock(m_mutex);
    m_doneChanged.wait(lock, [this] { return m_done; });
    if (!m_ok) error = m_error;
    return m_ok;
}

void JpegDecodeJob::run(JpegDecoder& decoder) {
    std::string error;
    const bool ok = decoder.decode(m_jpeg, m_width, m_height, m_image, error);
    {
        std::lock_guard lock(m_mutex);
        m_ok = ok;
        m_error = std::move(error);
        m_done = true;
        m_jpeg = Bytes();
    }
    m_doneChanged.notify_all();
}

size_t JpegDecodePool::defaultWorkerCount() {
    // Four strips make the largest update; more workers would only wait.
    return std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 4);
}

JpegDecodePool::JpegDecodePool(size_t workers) {
    for (size_t i = 0; i < std::max<size_t>(workers, 1); ++i)
        m_workers.emplace_back([this] { workerMain(); });
}

JpegDecodePool::~JpegDecodePool() {
    {
        std::lock_guard lock(m_mutex);
        m_ending = true;
    }
    m_wake.notify_all();
    for (auto& worker : m_workers)
        worker.join();
}

std::shared_ptr<JpegDecodeJob> JpegDecodePool::decode(Bytes jpeg, int width, int height) {
    auto job = std::make_shared<JpegDecodeJob>(std::move(jpeg), width, height);
    {
        std::lock_guard lock(m_mutex);
        if (!m_spare.empty()) {
            job->m_image.bgrx = std::move(m_spare.back());
            m_spare.pop_back();
        }
        m_jobs.push_back(job);
    }
    m_wake.notify_one();
    return job;
}

void JpegDecodePool::recycle(Bytes pixels) {
    std::lock_guard lock(m_mutex);
    if (m_spare.size() < m_workers.size() * 2) m_spare.push_back(std::move(pixels));
}

void JpegDecodePool::workerMain() {
    JpegDecoder decoder;
    for (;;) {
        std::shared_ptr<JpegDecodeJob> job;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_ending || !m_jobs.empty(); });
            if (m_jobs.empty()) return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job->run(decoder);
    }
}

} // namespace refclient
