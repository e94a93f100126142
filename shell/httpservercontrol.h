// The real HTTP server behind ServerControl: the program's HTTPapi and its
// request queue of 8 workers and 1000 connection slots.
#pragma once

#include <memory>
#include <mutex>

#include "servercontrol.h"
#include "wwwapi.h"

class dbDatabase;

class HttpServerControl : public ServerControl {
 public:
  // db may be null (nothing is committed then). The page table is copied by
  // the server.
  HttpServerControl(dbDatabase* db, int nPages, const PageEntry* pages);

  bool open(const std::string& address) override;
  void serve() override;
  bool stop() override;

 private:
  dbDatabase* db_;
  HTTPapi http_;
  std::mutex mutex_;  // guards queue_ and stopped_
  std::unique_ptr<QueueManager> queue_;
  bool stopped_ = false;
};
