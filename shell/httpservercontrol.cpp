#include "httpservercontrol.h"

namespace {
constexpr int workerThreads = 8;
constexpr int connectionSlots = 1000;
constexpr int listenQueueSize = 5;
}  // namespace

HttpServerControl::HttpServerControl(dbDatabase* db, int nPages, const PageEntry* pages)
    : db_(db), http_(db, nPages, pages) {}

bool HttpServerControl::open(const std::string& address) {
  return http_.open(address.c_str(), socket_t::sock_global_domain, listenQueueSize);
}

void HttpServerControl::serve() {
  QueueManager* queue;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    // A stop that came before the queue existed must still stop the server.
    if (stopped_) {
      return;
    }
    queue_ = std::make_unique<QueueManager>(http_, db_, workerThreads, connectionSlots);
    queue = queue_.get();
  }
  queue->acceptLoop();
}

bool HttpServerControl::stop() {
  std::lock_guard<std::mutex> guard(mutex_);
  stopped_ = true;
  if (!queue_) {
    return false;
  }
  queue_->stopServer();
  return true;
}
