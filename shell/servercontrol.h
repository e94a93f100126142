// What the main window needs of the HTTP server, so that its logic can run
// over the real server or over a stand-in.
#pragma once

#include <string>

class ServerControl {
 public:
  virtual ~ServerControl() = default;

  // Opens the listening socket on "host:port". False on failure; the server
  // has then written its reason to standard error.
  virtual bool open(const std::string& address) = 0;

  // Builds the request queue and runs its accept loop on the calling thread;
  // returns once the queue is stopped (or at once when stop() came first).
  virtual void serve() = 0;

  // From any thread: stops the request queue. False when there was no queue
  // to stop (the server never got that far).
  virtual bool stop() = 0;
};
