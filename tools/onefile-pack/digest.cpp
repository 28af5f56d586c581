// SHA-256 of the payload archive: the identity a cache-mode launcher
// compares with the one recorded in its cache. The hashing is the system's
// well-kept one (OpenSSL's libcrypto on Linux, CNG's BCrypt on Windows),
// on a thread of its own, so that it runs beside the writing of the image
// instead of after each chunk.
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "output.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <bcrypt.h>
#else
#include <openssl/evp.h>
#endif

namespace pack {

namespace {

// Bytes handed to the hashing thread at once, and how many such batches
// may wait: enough to ride over a slow write, little memory.
constexpr size_t BATCH_SIZE = 1 << 20;
constexpr size_t MAX_WAITING_BATCHES = 4;

#ifdef _WIN32
class hash_backend {
public:
    hash_backend() {
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm_, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
            !BCRYPT_SUCCESS(BCryptCreateHash(algorithm_, &hash_, nullptr, 0, nullptr, 0, 0)))
            throw pack_error("SHA-256 is not available (BCrypt)");
    }
    ~hash_backend() {
        if (hash_ != nullptr) BCryptDestroyHash(hash_);
        if (algorithm_ != nullptr) BCryptCloseAlgorithmProvider(algorithm_, 0);
    }
    bool update(const uint8_t* data, size_t size) {
        while (size > 0) {
            ULONG part = static_cast<ULONG>(std::min<size_t>(size, 1u << 30));
            if (!BCRYPT_SUCCESS(BCryptHashData(hash_, const_cast<PUCHAR>(data), part, 0))) return false;
            data += part, size -= part;
        }
        return true;
    }
    bool finish(std::array<uint8_t, 32>& digest) {
        return BCRYPT_SUCCESS(BCryptFinishHash(hash_, digest.data(), static_cast<ULONG>(digest.size()), 0));
    }

private:
    BCRYPT_ALG_HANDLE algorithm_ = nullptr;
    BCRYPT_HASH_HANDLE hash_ = nullptr;
};
#else
class hash_backend {
public:
    hash_backend() : context_(EVP_MD_CTX_new()) {
        if (context_ == nullptr || EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) != 1)
            throw pack_error("SHA-256 is not available (libcrypto)");
    }
    ~hash_backend() { EVP_MD_CTX_free(context_); }
    bool update(const uint8_t* data, size_t size) { return EVP_DigestUpdate(context_, data, size) == 1; }
    bool finish(std::array<uint8_t, 32>& digest) {
        unsigned int size = 0;
        return EVP_DigestFinal_ex(context_, digest.data(), &size) == 1 && size == digest.size();
    }

private:
    EVP_MD_CTX* context_;
};
#endif

}  // namespace

struct sha256::worker {
    hash_backend backend;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::vector<uint8_t>> waiting;
    std::vector<std::vector<uint8_t>> spare;
    std::vector<uint8_t> filling;
    bool ending = false, failed = false;
    std::thread thread;

    worker() : thread([this] { run(); }) {}
    ~worker() {
        {
            std::lock_guard<std::mutex> hold(lock);
            ending = true;
        }
        changed.notify_all();
        if (thread.joinable()) thread.join();
    }

    void run() {
        std::unique_lock<std::mutex> hold(lock);
        for (;;) {
            changed.wait(hold, [this] { return !waiting.empty() || ending; });
            if (waiting.empty()) return;
            std::vector<uint8_t> batch = std::move(waiting.front());
            waiting.pop_front();
            hold.unlock();
            changed.notify_all();
            bool ok = backend.update(batch.data(), batch.size());
            hold.lock();
            failed = failed || !ok;
            batch.clear();
            spare.push_back(std::move(batch));
        }
    }

    void hand_over() {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [this] { return waiting.size() < MAX_WAITING_BATCHES; });
        waiting.push_back(std::move(filling));
        filling.clear();
        if (!spare.empty()) {
            filling = std::move(spare.back());
            spare.pop_back();
        }
        hold.unlock();
        changed.notify_all();
    }
};

sha256::sha256() : worker_(std::make_unique<worker>()) {}
sha256::~sha256() = default;

void sha256::update(const void* data, size_t size) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        if (worker_->filling.capacity() < BATCH_SIZE) worker_->filling.reserve(BATCH_SIZE);
        size_t take = std::min(size, BATCH_SIZE - worker_->filling.size());
        worker_->filling.insert(worker_->filling.end(), bytes, bytes + take);
        bytes += take, size -= take;
        if (worker_->filling.size() == BATCH_SIZE) worker_->hand_over();
    }
}

std::array<uint8_t, 32> sha256::finish() {
    if (!worker_->filling.empty()) worker_->hand_over();
    {
        std::lock_guard<std::mutex> hold(worker_->lock);
        worker_->ending = true;
    }
    worker_->changed.notify_all();
    worker_->thread.join();
    std::array<uint8_t, 32> digest{};
    if (worker_->failed || !worker_->backend.finish(digest)) throw pack_error("computing the payload's SHA-256 failed");
    return digest;
}

}  // namespace pack
