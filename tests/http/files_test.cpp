// Plain files from the working folder, and what may never be served.
#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "http_test_support.h"
#include "test_pages.h"

namespace {

std::string getPath(RunningServer& server, const std::string& path) {
  return server.get("GET " + path + " HTTP/1.0\r\n\r\n");
}

std::string headerOf(const std::string& reply) { return reply.substr(0, reply.find("\r\n\r\n") + 2); }

}  // namespace

TEST(Files, ServedWithTheirTypeAndLength) {
  ScratchFolder folder;
  folder.write("style.css", "body{}");
  folder.write("help/index.htm", "<p>help</p>");
  folder.write("img/logo.PNG", std::string("\x89PNG\0\x01", 6));
  folder.write("data.bin", "??");
  RunningServer server(testPages, testPageCount);
  const std::tuple<const char*, const char*, std::string> cases[] = {
      {"/style.css", "text/css", "body{}"},
      {"/help/index.htm", "text/html", "<p>help</p>"},
      {"/help%2Findex.htm", "text/html", "<p>help</p>"},
      {"/img/logo.PNG", "image/png", std::string("\x89PNG\0\x01", 6)},
      {"/data.bin", "application/octet-stream", "??"},
  };
  for (const auto& [path, type, content] : cases) {
    SCOPED_TRACE(path);
    std::string reply = getPath(server, path);
    EXPECT_EQ(headerOf(reply), "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(content.size()) +
                                   "\r\nContent-Type: " + type +
                                   "\r\nConnection: close\r\nReferrer-Policy: no-referrer\r\n"
                                   "X-Content-Type-Options: nosniff\r\n");
    EXPECT_EQ(bodyOf(reply), content);
  }
}

TEST(Files, ContentTypeByExtension) {
  const std::pair<const char*, const char*> cases[] = {
      {"a.htm", "text/html"},   {"a.HTML", "text/html"}, {"a.css", "text/css"},
      {"a.js", "application/javascript"}, {"a.png", "image/png"}, {"a.gif", "image/gif"},
      {"a.jpg", "image/jpeg"},  {"a.jpeg", "image/jpeg"}, {"a.svg", "image/svg+xml"},
      {"a.txt", "text/plain"},  {"a.json", "application/octet-stream"}, {"htm", "application/octet-stream"},
  };
  for (const auto& [path, type] : cases) EXPECT_STREQ(HTTPapi::contentType(path), type) << path;
}

TEST(Files, BarePathMeansIndexHtml) {
  ScratchFolder folder;
  RunningServer server(testPages, testPageCount);
  EXPECT_EQ(bodyOf(getPath(server, "/")), "login");
  folder.write("index.html", "<p>index</p>");
  EXPECT_EQ(bodyOf(getPath(server, "/")), "<p>index</p>");
}

// Every path here names something outside the folder, hidden, a folder, the
// database or a backup, or nothing: the login page answers instead.
TEST(Files, NothingOutsideTheFolderOrPrivateIsServed) {
  ScratchFolder folder;
  folder.write("style.css", "body{}");
  folder.write("Brakvellion.mem", "database");
  folder.write("backup3.mbf", "archive");
  folder.write(".hidden", "secret");
  folder.write("sub/.git/config", "secret");
  folder.write("sub/page.htm", "page");
  folder.write("../outside.txt", "outside");
  std::filesystem::create_directory(folder.path() / "dir");
  std::filesystem::create_symlink(folder.path() / "../outside.txt", folder.path() / "link.txt");
  std::filesystem::create_symlink("/etc", folder.path() / "etc");
  ASSERT_EQ(mkfifo((folder.path() / "pipe").c_str(), 0600), 0);  // opening it must not hang
  RunningServer server(testPages, testPageCount);
  const char* paths[] = {
      "/../outside.txt",      "/..%2Foutside.txt",    "/%2E%2E/outside.txt", "/sub/../style.css",
      "/sub/..",              "/..",                  "/.hidden",            "/sub/.git/config",
      "/%2Fetc%2Fpasswd",     "//etc/passwd",         "/sub%5Cpage.htm",     "/sub\\page.htm",
      "/Brakvellion.mem",     "/BRAKVELLION.MEM",     "/backup3.mbf",        "/Brakvellion.mem%00.txt",
      "/dir",                 "/dir/",                "/sub",                "/link.txt",
      "/etc/passwd",          "/missing.htm",         "/%00",                "/pipe",
  };
  for (const char* path : paths) {
    SCOPED_TRACE(path);
    EXPECT_EQ(bodyOf(getPath(server, path)), "login");
  }
  EXPECT_EQ(bodyOf(getPath(server, "/sub/page.htm")), "page") << "the folder itself is served";
}

TEST(Files, PathDecodingRefusesWhatCannotBeServed) {
  const std::pair<const char*, const char*> served[] = {
      {"a+b.htm", "a b.htm"}, {"%41%62.css", "Ab.css"}, {"x/y.js", "x/y.js"}, {"%zz", "\x33"}, {"x%4", "x%4"}};
  std::string decoded;
  for (const auto& [path, expected] : served) {
    EXPECT_TRUE(HTTPapi::decodeFilePath(path, std::strlen(path), decoded)) << path;
    EXPECT_EQ(decoded, expected);
  }
  for (const char* path : {"", "..", "a/../b", ".x", "a/.b", "/a", "a\\b", "a.mem", "a.Mbf", "a%00b"}) {
    EXPECT_FALSE(HTTPapi::decodeFilePath(path, std::strlen(path), decoded)) << path;
  }
}
