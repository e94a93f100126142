// Stand-ins for the face and the HTTP server, recording what the main
// window's logic asks of them.
#pragma once

#include <atomic>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "servercontrol.h"
#include "shellface.h"
#include "sync.h"

class RecordingFace : public ShellFace {
 public:
  void appendLog(const std::string& line) override { log.push_back(line); }
  void showMessage(const std::string& text) override { messages.push_back(text); }
  bool askYesNo(const std::string& text) override {
    questions.push_back(text);
    const bool answer = !answers.empty() && answers.front();
    if (!answers.empty()) answers.pop_front();
    return answer;
  }
  int runDialog(ShellDialog& dialog) override {
    dialogs.push_back(dialog);
    return dialogResult;
  }
  void open(const std::string& target) override { opened.push_back(target); }
  void armTimer(unsigned intervalMs) override { timerIntervals.push_back(intervalMs); }

  std::vector<std::string> log, messages, questions, opened;
  std::vector<ShellDialog> dialogs;
  std::vector<unsigned> timerIntervals;
  std::deque<bool> answers;  // the answers to askYesNo, in turn; no when empty
  int dialogResult = 0;
};

class RecordingServer : public ServerControl {
 public:
  bool open(const std::string& address) override {
    openedAddress = address;
    opens++;
    if (!openSucceeds) finished.signal();
    return openSucceeds;
  }
  void serve() override {
    serves++;
    finished.signal();
  }
  bool stop() override {
    stops++;
    return true;
  }

  // Waits (bounded) until the server thread is done with this object.
  bool waitForThread() { return finished.wait(5000); }

  bool openSucceeds = true;
  std::string openedAddress;
  std::atomic<int> opens{0}, serves{0}, stops{0};
  dbEvent finished{dbEvent::Reset::Manual};
};

// A fresh folder under the system's temporary folder, removed at the end.
class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tavro-shell-XXXXXX").string();
    path_ = mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

  void write(const std::string& name, const std::string& bytes) const {
    const std::filesystem::path file = std::filesystem::path(path_) / name;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
  }

 private:
  std::string path_;
};
