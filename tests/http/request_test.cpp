// Request handling: parsing, page lookup, framing and the fixed replies.
#include <string>

#include "http_test_support.h"
#include "memory_socket.h"
#include "test_pages.h"

namespace {

// Runs one request through process() over an in-memory socket that delivers
// it in chunks of chunkSize bytes; returns what the server wrote.
std::string processInMemory(const std::string& request, size_t chunkSize = std::string::npos) {
  HTTPapi api(nullptr, testPageCount, testPages);
  WWWconnection con;
  std::string written;
  con.attachSocket(std::make_unique<MemorySocket>(request, chunkSize, &written));
  EXPECT_TRUE(api.process(con));
  EXPECT_EQ(con.socket(), nullptr);
  return written;
}

struct RequestCase {
  const char* what;
  std::string request;
  std::string expectedBody;  // of a 200 reply; or the whole expected reply when fixed is set
  bool fixed = false;
};

}  // namespace

TEST(Request, RepliesByRequest) {
  const RequestCase cases[] = {
      {"query on /", "GET /?page=echo&a=1 HTTP/1.0\r\n\r\n", "a=1"},
      {"query on another path", "GET /some/where?page=echo&a=1 HTTP/1.1\r\nHost: x\r\n\r\n", "a=1"},
      {"absolute target", "GET http://example.test/x?page=echo&a=1 HTTP/1.1\r\n\r\n", "a=1"},
      {"last value wins", "GET /?page=echo&a=1&a=2 HTTP/1.0\r\n\r\n", "a=2"},
      {"page twice", "GET /?page=nosuch&page=echo&a=3 HTTP/1.0\r\n\r\n", "a=3"},
      {"decoding", "GET /?page=echo&a=%41%2b+b%4 HTTP/1.0\r\n\r\n", "a=A+ b%4"},
      {"empty page name", "GET /?page= HTTP/1.0\r\n\r\n", "login"},
      {"POST body ending in CR LF", "POST /ignored HTTP/1.0\r\n\r\npage=echo&a=post\r\n", "a=post"},
      {"Content-Length digits then spaces",
       "POST / HTTP/1.0\r\nContent-Length: 15   \r\n\r\npage=echo&a=xyzEXTRA", "a=xyz"},
      {"content-length in any case", "POST / HTTP/1.0\r\ncontent-LENGTH: 11\r\n\r\npage=echo&a=1", "a="},
      {"no page parameter", "GET /?a=1 HTTP/1.0\r\n\r\n", fixedReply("Not acceptable"), true},
      {"ampersand before the equals sign", "GET /?a&page=echo HTTP/1.0\r\n\r\n", fixedReply("Not acceptable"), true},
      {"empty POST body", "POST / HTTP/1.0\r\nContent-Length: 0\r\n\r\n", fixedReply("Not acceptable"), true},
      {"unknown page", "GET /?page=nosuch HTTP/1.0\r\n\r\n", fixedReply("404 Not found"), true},
      {"page without an empty line", "GET /?page=headerless HTTP/1.0\r\n\r\n", fixedReply("404 Not found"), true},
      {"lower-case method", "get / HTTP/1.0\r\n\r\n", fixedReply("405 Method not allowed"), true},
      {"other method", "PUT / HTTP/1.0\r\n\r\n", fixedReply("405 Method not allowed"), true},
      {"no slash", "GET index HTTP/1.0\r\n\r\n", fixedReply("400 Bad Request"), true},
      {"absolute target without path", "GET http://example.test HTTP/1.1\r\n\r\n", fixedReply("400 Bad Request"), true},
      {"path without space", "GET /x\r\n\r\n", fixedReply("400 Bad Request"), true},
      {"CR not followed by LF", "GET / HTTP/1.0\r\n\rX", fixedReply("400 Bad Request"), true},
      {"zero byte in the header", std::string("GET /\0 HTTP/1.0\r\n\r\n", 20), fixedReply("400 Bad Request"), true},
  };
  RunningServer server(testPages, testPageCount);
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::string reply = server.get(c.request);
    if (c.fixed) {
      EXPECT_EQ(reply, c.expectedBody);
    } else {
      EXPECT_EQ(reply.substr(0, 17), "HTTP/1.1 200 OK\r\n");
      EXPECT_EQ(bodyOf(reply), c.expectedBody);
    }
  }
}

TEST(Request, PageReplyCarriesItsHeaderLines) {
  RunningServer server(testPages, testPageCount);
  std::string reply = server.get("GET /?page=echo&a=1 HTTP/1.0\r\n\r\n");
  EXPECT_EQ(reply,
            "HTTP/1.1 200 OK\r\nContent-Length: 3     \r\nConnection: close\r\n"
            "Referrer-Policy: no-referrer\r\nX-Content-Type-Options: nosniff\r\n"
            "Content-type: text/html\r\n\r\na=1");
}

TEST(Request, ContentLengthFitsEveryBodySize) {
  const std::pair<int, std::string> cases[] = {
      {0, "0     "}, {1234, "1234  "}, {999999, "999999"}, {1000000, "1000000"}, {1234567, "1234567"}};
  RunningServer server(testPages, testPageCount);
  for (const auto& [size, field] : cases) {
    SCOPED_TRACE(size);
    std::string reply = server.get("GET /?page=sized&n=" + std::to_string(size) + " HTTP/1.0\r\n\r\n");
    EXPECT_NE(reply.find("\r\nContent-Length: " + field + "\r\n"), std::string::npos);
    EXPECT_EQ(bodyOf(reply).size(), static_cast<size_t>(size));
  }
}

TEST(Request, ThrowingPageStillSendsWhatItWrote) {
  RunningServer server(testPages, testPageCount);
  EXPECT_EQ(bodyOf(server.get("GET /?page=throwing HTTP/1.0\r\n\r\n")), "partial");
  EXPECT_EQ(bodyOf(server.get("GET /?page=echo&a=after HTTP/1.0\r\n\r\n")), "a=after");
}

TEST(Request, PageSeesThePeerAddress) {
  RunningServer server(testPages, testPageCount);
  EXPECT_EQ(bodyOf(server.get("GET /?page=peer HTTP/1.0\r\n\r\n")), "127.0.0.1");
}

TEST(Request, PostBodiesThatCannotFitAreRefused) {
  const std::string tooLarge = fixedReply("413 Request Entity Too Large");
  // Announced too large: refused before the body arrives.
  EXPECT_EQ(processInMemory("POST / HTTP/1.0\r\nContent-Length: 70000\r\n\r\npage=echo"), tooLarge);
  // Unannounced, and filling the buffer without ending.
  EXPECT_EQ(processInMemory("POST / HTTP/1.0\r\n\r\npage=echo&a=" + std::string(70000, 'a')), tooLarge);
  RunningServer server(testPages, testPageCount);
  EXPECT_EQ(server.get("POST / HTTP/1.0\r\nContent-Length: 70000\r\n\r\npage=echo"), tooLarge);
  EXPECT_EQ(server.get("POST / HTTP/1.0\r\n\r\npage=echo&a=" + std::string(300000, 'a')), tooLarge);
}

TEST(Request, HeaderBlockSplitAcrossReadsAtEveryPoint) {
  const std::string request = "GET /?page=echo&a=split HTTP/1.0\r\nHost: x\r\n\r\n";
  for (size_t chunk : {1, 2, 3, 5, 7}) {
    SCOPED_TRACE(chunk);
    EXPECT_EQ(bodyOf(processInMemory(request, chunk)), "a=split");
  }
}

TEST(Request, HeaderBlockExactlyFillingTheBuffer) {
  const std::string line = "GET /?page=echo&a=full HTTP/1.0\r\nX: ";
  const std::string end = "\r\n\r\n";
  std::string request = line + std::string(HTTPapi::maxRequestSize - line.size() - end.size(), 'y') + end;
  ASSERT_EQ(request.size(), HTTPapi::maxRequestSize);
  EXPECT_EQ(bodyOf(processInMemory(request)), "a=full");

  // One byte more and the header block cannot end inside the buffer.
  std::string overlong = line + std::string(HTTPapi::maxRequestSize, 'y') + end;
  EXPECT_EQ(processInMemory(overlong), "");

  // A POST whose header fills the buffer has no room for its body.
  std::string post = "POST / HTTP/1.0\r\nX: ";
  post += std::string(HTTPapi::maxRequestSize - post.size() - end.size(), 'y') + end + "page=echo";
  EXPECT_EQ(processInMemory(post), fixedReply("413 Request Entity Too Large"));
}

TEST(Request, ClientLeavingEarlyGetsNoReply) {
  EXPECT_EQ(processInMemory("GET /?page=echo HTTP/1.0\r\n"), "");
  EXPECT_EQ(processInMemory("POST / HTTP/1.0\r\n\r\npage=echo"), "");
}
