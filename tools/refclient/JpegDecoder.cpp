#include "tools/refclient/JpegDecoder.h"

#include "platform/core/Format.h"

#include <turbojpeg.h>

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <utility>

namespace refclient {

JpegDecoder::JpegDecoder() : m_handle(tjInitDecompress()) {}

JpegDecoder::~JpegDecoder() {
    if (m_handle) tjDestroy(m_handle);
}

bool JpegDecoder::readHeader(ByteView jpeg, int expectedWidth, int expectedHeight, std::string& error) {
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
    return true;
}

bool JpegDecoder::headerFits(ByteView jpeg, int expectedWidth, int expectedHeight) {
    std::string error;
    return readHeader(jpeg, expectedWidth, expectedHeight, error);
}

bool JpegDecoder::decode(ByteView jpeg, int expectedWidth, int expectedHeight, DecodedImage& out,
                         std::string& error) {
    if (!readHeader(jpeg, expectedWidth, expectedHeight, error)) return false;
    out.width = expectedWidth;
    out.height = expectedHeight;
    // Every pixel is written by the decoder: a reused buffer needs no clearing.
    const size_t pitch = static_cast<size_t>(expectedWidth) * 4;
    out.bgrx.resize(pitch * static_cast<size_t>(expectedHeight));
    return decompress(jpeg, expectedWidth, expectedHeight, out.bgrx.data(), pitch, error);
}

bool JpegDecoder::decodeInto(ByteView jpeg, int expectedWidth, int expectedHeight, uint8_t* destination,
                             size_t pitch, std::string& error) {
    return readHeader(jpeg, expectedWidth, expectedHeight, error) &&
           decompress(jpeg, expectedWidth, expectedHeight, destination, pitch, error);
}

bool JpegDecoder::decompress(ByteView jpeg, int width, int height, uint8_t* destination, size_t pitch,
                             std::string& error) {
    if (tjDecompress2(m_handle, jpeg.data(), static_cast<unsigned long>(jpeg.size()), destination, width,
                      static_cast<int>(pitch), height, TJPF_BGRX, 0) != 0) {
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

bool JpegDecodeJob::take() {
    std::lock_guard lock(m_mutex);
    return !std::exchange(m_taken, true);
}

void JpegDecodeJob::run(JpegDecoder& decoder) {
    std::string error;
    bool ok;
    if (m_target.pixels) {
        // Side by side with the other decodings into the picture: their rectangles never meet.
        std::shared_lock pixels(*m_target.lock);
        ok = decoder.decodeInto(m_jpeg, m_width, m_height, m_target.pixels, m_target.pitch, error);
    } else {
        ok = decoder.decode(m_jpeg, m_width, m_height, m_image, error);
    }
    finish(ok, std::move(error));
}

void JpegDecodeJob::finish(bool ok, std::string error) {
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

size_t decodeWorkerCpuSlot(size_t cpuCount, size_t start, size_t worker, size_t workers) {
    if (cpuCount == 0) return 0;
    const size_t stride = std::max<size_t>(1, cpuCount / std::max<size_t>(workers, 1));
    return (start + worker * stride) % cpuCount;
}

namespace {

// The CPUs the process may run on, in order.
std::vector<int> allowedCpus() {
    std::vector<int> cpus;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) != 0) return cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
    return cpus;
}

// Keeps the calling worker to one CPU, a pool's workers each to another. Left free, a scheduler
// that packs waking threads onto busy CPUs (as virtual machines' kernels may, to keep their other
// CPUs halted) puts an update's decoders side by side on one or two, and its strips then take
// half again as long as one alone. Pools of one process, and processes, start at different CPUs,
// so several devices in one process still spread over the machine.
void keepWorkerToItsCpu(size_t pool, size_t worker, size_t workers) {
    const std::vector<int> cpus = allowedCpus();
    if (cpus.size() < 2 || workers < 2) return;
    const size_t start = static_cast<size_t>(::getpid()) + pool;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpus[decodeWorkerCpuSlot(cpus.size(), start, worker, workers)], &set);
    (void)::sched_setaffinity(0, sizeof set, &set); // a refusal leaves the worker free, nothing worse
}

} // namespace

JpegDecodePool::JpegDecodePool(size_t workers) {
    static std::atomic<size_t> pools{0};
    const size_t pool = pools.fetch_add(1);
    for (size_t i = 0; i < workers; ++i)
        m_workers.emplace_back([this, pool, i, workers] {
            keepWorkerToItsCpu(pool, i, workers);
            workerMain();
        });
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

std::shared_ptr<JpegDecodeJob> JpegDecodePool::decode(Bytes jpeg, int width, int height, DecodeTarget target) {
    auto job = std::make_shared<JpegDecodeJob>(std::move(jpeg), width, height, target);
    {
        std::lock_guard lock(m_mutex);
        if (!job->inPlace() && !m_spare.empty()) {
            job->m_image.bgrx = std::move(m_spare.back());
            m_spare.pop_back();
        }
        m_jobs.push_back(job);
    }
    m_wake.notify_one();
    return job;
}

bool JpegDecodePool::finish(JpegDecodeJob& job, std::string& error) {
    runIfUnstarted(job);
    return job.wait(error);
}

void JpegDecodePool::runIfUnstarted(JpegDecodeJob& job) {
    if (!job.take()) return;
    std::lock_guard lock(m_callerLock);
    job.run(m_callerDecoder);
}

void JpegDecodePool::drop(JpegDecodeJob& job) {
    if (job.take()) {
        job.finish(false, "dropped");
        return;
    }
    std::string error;
    job.wait(error);
}

bool JpegDecodePool::headerFits(ByteView jpeg, int width, int height) {
    std::lock_guard lock(m_callerLock);
    return m_callerDecoder.headerFits(jpeg, width, height);
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
        if (job->take()) job->run(decoder); // else its waiter ran or dropped it
    }
}

} // namespace refclient
