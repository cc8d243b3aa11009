#include "packages/digest.h"

#include <openssl/evp.h>

#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace korvel::packages {

struct Sha256::Context {
  EVP_MD_CTX* ctx = nullptr;
  ~Context() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
  context_->ctx = EVP_MD_CTX_new();
  if (context_->ctx == nullptr || EVP_DigestInit_ex(context_->ctx, EVP_sha256(), nullptr) != 1) {
    throw Exception("SHA-256 is not available in the crypto library");
  }
}

Sha256::~Sha256() = default;

void Sha256::Update(std::string_view data) {
  if (!data.empty() && EVP_DigestUpdate(context_->ctx, data.data(), data.size()) != 1) {
    throw Exception("SHA-256 update failed");
  }
}

std::string Sha256::FinishText() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(context_->ctx, digest, &size) != 1 || size != 32) throw Exception("SHA-256 final failed");
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(kDigestTextLength);
  for (unsigned int i = 0; i < size; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0x0F];
  }
  return text;
}

struct BackgroundSha256::Worker {
  Sha256 sha256;
  std::mutex mutex;
  std::condition_variable changed;
  std::string_view block;
  bool pending = false, stop = false;
  std::exception_ptr failure;
  std::thread thread;

  void Run() {
    std::unique_lock lock(mutex);
    for (;;) {
      changed.wait(lock, [this] { return pending || stop; });
      if (!pending) return;
      const std::string_view data = block;
      lock.unlock();
      std::exception_ptr error;
      try {
        sha256.Update(data);
      } catch (...) {
        error = std::current_exception();
      }
      lock.lock();
      if (error && !failure) failure = error;
      pending = false;
      changed.notify_all();
    }
  }

  // Waits until the block handed over last is hashed; rethrows its failure.
  void Drain(std::unique_lock<std::mutex>& lock) {
    changed.wait(lock, [this] { return !pending; });
    if (failure) std::rethrow_exception(failure);
  }
};

BackgroundSha256::BackgroundSha256() : worker_(std::make_unique<Worker>()) {
  worker_->thread = std::thread([worker = worker_.get()] { worker->Run(); });
}

BackgroundSha256::~BackgroundSha256() {
  {
    const std::lock_guard lock(worker_->mutex);
    worker_->stop = true;
  }
  worker_->changed.notify_all();
  worker_->thread.join();
}

void BackgroundSha256::Update(std::string_view block) {
  std::unique_lock lock(worker_->mutex);
  worker_->Drain(lock);
  worker_->block = block;
  worker_->pending = true;
  worker_->changed.notify_all();
}

std::string BackgroundSha256::FinishText() {
  std::unique_lock lock(worker_->mutex);
  worker_->Drain(lock);
  return worker_->sha256.FinishText();
}

std::string DigestText(std::string_view data) {
  Sha256 sha256;
  sha256.Update(data);
  return sha256.FinishText();
}

std::string FileDigestText(host::File& file, std::int64_t length) {
  // Large blocks keep a gigabyte package within a few seconds; the digest
  // does not depend on the block size.
  constexpr std::size_t kBlock = 1 << 16;
  std::vector<char> buffer(kBlock);
  Sha256 sha256;
  file.Seek(0);
  std::int64_t left = length;
  while (left > 0) {
    const std::size_t want = left < static_cast<std::int64_t>(kBlock) ? static_cast<std::size_t>(left) : kBlock;
    const std::size_t got = file.Read(buffer.data(), want);
    if (got == 0) throw EInOutError("Read beyond end of file");
    sha256.Update(std::string_view(buffer.data(), got));
    left -= static_cast<std::int64_t>(got);
  }
  return sha256.FinishText();
}

}  // namespace korvel::packages
