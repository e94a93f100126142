#include "startlines.h"

namespace {
// Any private address does for the example; users replace it with theirs.
constexpr const char* exampleAddress = "192.168.1.20";
}  // namespace

std::vector<std::string> serverStartLogLines(int port, const std::string& addresses) {
  std::vector<std::string> lines;
  lines.emplace_back();
  lines.emplace_back("Tavro網上產品目錄系統伺服器已開啟, 你可以用Internet Explorer 輸入以下網站連接這個伺服器:");
  lines.push_back("http://" + addresses);
  if (port != 80) {
    lines.push_back(std::string("請在IP後面加上 Port, 例如 http://") + exampleAddress + ":" + std::to_string(port));
  }
  lines.emplace_back();
  return lines;
}
