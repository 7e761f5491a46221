// The server on 127.0.0.1 with a tiny application: files, routes, sessions,
// the WebSocket handshake, uploads and downloads.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include "tests/web/support/net_client.h"
#include "tests/support/scratch.h"
#include "web/anchor.h"
#include "web/application.h"
#include "web/file_resource.h"
#include "web/file_upload.h"
#include "web/push_button.h"
#include "web/server.h"
#include "web/text.h"

using namespace web;
using namespace web::test;

namespace {

using trl::test::eventually;

struct Ids {
  std::string click, upload, send;
};
std::mutex idsMutex;
std::map<std::string, Ids> idsBySession;
std::atomic<int> destroyed{0};

class TinyApp : public Application {
 public:
  explicit TinyApp(const Environment& env) : Application(env) {
    Ids ids;
    auto* clicks = root()->addWidget(std::make_unique<Text>("Clicks: 0"));
    auto* click = root()->addWidget(std::make_unique<PushButton>("Click"));
    click->clicked().connect([this, clicks] { clicks->setText("Clicks: " + std::to_string(++count_)); });
    auto* upload = root()->addWidget(std::make_unique<FileUpload>());
    auto* send = root()->addWidget(std::make_unique<PushButton>("Upload"));
    auto* status = root()->addWidget(std::make_unique<Text>("Upload: none"));
    send->clicked().connect([upload] { upload->upload(); });
    upload->uploaded().connect([upload, status] {
      status->setText("Upload: " + upload->clientFileName() + " " + std::to_string(upload->uploadedSize()) +
                      " bytes: " + trl::test::readFile(upload->spoolFileName()));
    });
    upload->fileTooLarge().connect([upload, status](std::int64_t size) {
      status->setText("Upload: " + upload->clientFileName() + " too large (" + std::to_string(size) + ")");
    });
    // A report file of this session only.
    const std::string file = docRoot() + "report-" + sessionId() + ".txt";
    trl::test::writeFile(file, "report of " + sessionId());
    report_ = std::make_unique<FileResource>(file, "text/plain");
    root()->addWidget(std::make_unique<Anchor>(report_.get(), "report"));
    ids.click = click->id();
    ids.upload = upload->id();
    ids.send = send->id();
    std::lock_guard<std::mutex> lk(idsMutex);
    idsBySession[sessionId()] = ids;
  }
  ~TinyApp() override { ++destroyed; }

 private:
  std::unique_ptr<FileResource> report_;
  int count_ = 0;
};

Ids idsOf(const std::string& session) {
  std::lock_guard<std::mutex> lk(idsMutex);
  return idsBySession.at(session);
}

std::string click(const std::string& id) { return "{\"e\":\"click\",\"id\":\"" + id + "\"}"; }

class Http : public ::testing::Test {
 protected:
  void SetUp() override {
    docRoot = root.mkdir("/www");
    root.mkdir("/www/images");
    trl::test::writeFile(docRoot + "/trellium.css", "body { color: black }");
    trl::test::writeFile(docRoot + "/images/headline.png", "\x89PNG fake");
    trl::test::writeFile(docRoot + "/images/serveron.svg", "<svg/>");
    trl::test::writeFile(root.dir() + "/secret.txt", "secret contents");
    ASSERT_EQ(::symlink((root.dir() + "/secret.txt").c_str(), (docRoot + "/link.txt").c_str()), 0);
    ServerOptions o;
    o.httpAddress = "127.0.0.1";
    o.httpPort = 0;
    o.docRoot = docRoot;
    o.maxRequestSize = 1024;
    o.threads = 2;
    server.setOptions(o);
    server.setReconnectGrace(std::chrono::milliseconds(400));
    server.addEntryPoint([](const Environment& env) { return std::make_unique<TinyApp>(env); });
    server.start();
    port = server.httpPort();
    origin = "http://127.0.0.1:" + std::to_string(port);
  }

  // A page and its open socket.
  std::string openPage(WebSocketClient& ws) {
    const auto page = httpRequest(port, "GET", "/");
    const std::string id = sessionIdOf(page.body);
    EXPECT_EQ(ws.open(port, "/_w/ws?s=" + id, origin), 101);
    return id;
  }

  trl::test::ScratchRoot root;
  std::string docRoot;
  Server server;
  unsigned short port = 0;
  std::string origin;
};

}  // namespace

TEST_F(Http, StaticFilesTheirTypesAndPolicies) {
  const auto css = httpRequest(port, "GET", "/trellium.css");
  EXPECT_EQ(css.status, 200);
  EXPECT_EQ(css.header("Content-Type"), "text/css; charset=utf-8");
  EXPECT_EQ(css.body, "body { color: black }");
  EXPECT_EQ(css.header("X-Content-Type-Options"), "nosniff");
  const auto head = httpRequest(port, "HEAD", "/trellium.css");
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.header("Content-Length"), "21");
  EXPECT_EQ(httpRequest(port, "GET", "/missing.png").status, 404);
  EXPECT_EQ(httpRequest(port, "DELETE", "/trellium.css").status, 405);
  // Documents from the document root carry a policy; style sheets need none.
  trl::test::writeFile(docRoot + "/about.html", "<p>about</p>");
  for (const char* target : {"/images/serveron.svg", "/about.html"}) {
    const auto r = httpRequest(port, "GET", target);
    EXPECT_EQ(r.status, 200) << target;
    EXPECT_NE(r.header("Content-Security-Policy").find("script-src 'none'"), std::string::npos) << target;
  }
  EXPECT_EQ(httpRequest(port, "GET", "/trellium.css").header("Content-Security-Policy"), "");
  // The toolkit's own files.
  const auto js = httpRequest(port, "GET", "/_w/client.js");
  EXPECT_EQ(js.status, 200);
  EXPECT_EQ(js.header("Content-Type"), "text/javascript; charset=utf-8");
  EXPECT_NE(js.body.find("Idiomorph.morph"), std::string::npos);
  EXPECT_NE(httpRequest(port, "GET", "/_w/idiomorph.min.js").body.find("Idiomorph"), std::string::npos);
  EXPECT_EQ(httpRequest(port, "GET", "/_w/web.css").header("Content-Type"), "text/css; charset=utf-8");
  EXPECT_EQ(httpRequest(port, "GET", "/_w/../trellium.css").status, 404);
  EXPECT_EQ(httpRequest(port, "GET", "/_w/secret").status, 404);
}

TEST_F(Http, NoPathLeadsOutOfTheDocumentRoot) {
  for (const char* target : {"/../secret.txt", "/images/../../secret.txt", "/%2e%2e/secret.txt",
                             "/%2E%2E%2Fsecret.txt", "/images/..%2f..%2fsecret.txt", "/images/%2e%2e/%2e%2e/secret.txt",
                             "/link.txt", "/..%5csecret.txt", "/%00secret.txt"}) {
    const auto r = httpRequest(port, "GET", target);
    EXPECT_NE(r.status, 200) << target;
    EXPECT_EQ(r.body.find("secret contents"), std::string::npos) << target;
  }
}

TEST_F(Http, UnknownSessionOrForeignOriginIsRefused) {
  httpRequest(port, "GET", "/");  // a real session exists too
  for (const std::string sid : {"00000000000000000000000000000000", "nonsense", ""}) {
    WebSocketClient ws;
    EXPECT_EQ(ws.open(port, "/_w/ws?s=" + sid, origin), 404) << sid;
    EXPECT_EQ(httpRequest(port, "POST", "/_w/upload?s=" + sid + "&w=w1", {}, "data").status, 404) << sid;
    EXPECT_EQ(httpRequest(port, "GET", "/_w/res?s=" + sid + "&r=1").status, 404) << sid;
  }
  const std::string sid = sessionIdOf(httpRequest(port, "GET", "/").body);
  WebSocketClient evil, none, good;
  EXPECT_EQ(evil.open(port, "/_w/ws?s=" + sid, "http://evil.example"), 403);
  EXPECT_EQ(evil.open(port, "/_w/ws?s=" + sid, "http://127.0.0.1:1"), 403);
  EXPECT_EQ(none.open(port, "/_w/ws?s=" + sid, ""), 403);
  EXPECT_EQ(good.open(port, "/_w/ws?s=" + sid, origin), 101);
}

TEST_F(Http, UploadsOnlyWhenThePageAsksAndWithinTheLimit) {
  WebSocketClient ws;
  const std::string sid = openPage(ws);
  const Ids ids = idsOf(sid);
  const std::string url = "/_w/upload?s=" + sid + "&w=" + ids.upload;
  EXPECT_EQ(httpRequest(port, "POST", url, {}, "x").status, 403) << "not asked for by the page";
  const auto ask = [&](const std::string& chosen) {
    ws.send("{\"e\":\"change\",\"id\":\"" + ids.upload + "\",\"v\":\"" + chosen + "\"}");
    ws.send(click(ids.send));
    return ws.waitFor("\"upload\"");
  };
  EXPECT_NE(ask("C:\\\\fakepath\\\\big.deb").find(url), std::string::npos) << "the page is told where to send";
  EXPECT_EQ(httpRequest(port, "POST", url + "&n=big.deb", {}, std::string(4096, 'b')).status, 413);
  EXPECT_FALSE(ws.waitFor("big.deb too large (4096)").empty());
  EXPECT_EQ(httpRequest(port, "POST", url, {}, "x").status, 403) << "the permission was for one upload";

  ASSERT_FALSE(ask("small.deb").empty());
  EXPECT_EQ(httpRequest(port, "POST", url + "&n=small.deb", {}, "package contents").status, 200);
  EXPECT_FALSE(ws.waitFor("small.deb 16 bytes: package contents").empty());
}

TEST_F(Http, EachPageLoadIsANewSessionWithResourcesOfItsOwn) {
  const auto a = httpRequest(port, "GET", "/");
  const auto b = httpRequest(port, "GET", "/?x=1");
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(a.header("Content-Type"), "text/html; charset=utf-8");
  EXPECT_NE(a.header("Content-Security-Policy").find("script-src 'self'"), std::string::npos);
  EXPECT_NE(a.body.find("Clicks: 0"), std::string::npos);
  const std::string ia = sessionIdOf(a.body), ib = sessionIdOf(b.body);
  EXPECT_EQ(ia.size(), 32u);
  EXPECT_NE(ia, ib);
  EXPECT_EQ(server.sessionCount(), 2u);
  const std::string hrefStart = "href=\"/_w/res?s=" + ia + "&amp;r=";
  const auto p = a.body.find(hrefStart);
  ASSERT_NE(p, std::string::npos);
  const std::string rid = a.body.substr(p + hrefStart.size(), a.body.find('"', p + hrefStart.size()) - p - hrefStart.size());
  const auto own = httpRequest(port, "GET", "/_w/res?s=" + ia + "&r=" + rid);
  EXPECT_EQ(own.status, 200);
  EXPECT_EQ(own.body, "report of " + ia);
  EXPECT_NE(own.header("Content-Disposition").find("attachment"), std::string::npos);
  // The same resource id in another session never yields this one's file.
  const auto other = httpRequest(port, "GET", "/_w/res?s=" + ib + "&r=" + rid);
  EXPECT_EQ(other.body.find(ia), std::string::npos);
  EXPECT_EQ(httpRequest(port, "GET", "/_w/res?s=" + ia + "&r=99").status, 404);
  EXPECT_EQ(httpRequest(port, "GET", "/_w/res?s=" + ia).status, 404);
}

TEST_F(Http, ClicksReceiptsAndReconnectsOverTheSocket) {
  WebSocketClient first;
  const std::string sid = openPage(first);
  EXPECT_EQ(httpRequest(port, "GET", "/_w/ws?s=" + sid).status, 204) << "a page asks before it reconnects";
  EXPECT_EQ(httpRequest(port, "GET", "/_w/ws?s=00000000000000000000000000000000").status, 404);
  first.send("not json at all");
  first.send("{\"e\":\"click\",\"id\":\"" + idsOf(sid).click + "\",\"n\":7}");
  EXPECT_FALSE(first.waitFor("{\"r\":7}").empty()) << "the receipt of the action";
  EXPECT_FALSE(first.waitFor("Clicks: 1").empty()) << "garbage before it did no harm";
  // The socket in use goes; a new one gets the whole page.
  first.close();
  WebSocketClient second;
  ASSERT_EQ(second.open(port, "/_w/ws?s=" + sid, origin), 101);
  EXPECT_NE(second.waitFor("\"p\":1").find("Clicks: 1"), std::string::npos);
  // Many sockets in a row: the session ends up on the last one.
  std::vector<std::unique_ptr<WebSocketClient>> sockets;
  for (int i = 0; i < 5; ++i) {
    sockets.push_back(std::make_unique<WebSocketClient>());
    ASSERT_EQ(sockets.back()->open(port, "/_w/ws?s=" + sid, origin), 101);
  }
  sockets.back()->send(click(idsOf(sid).click));
  EXPECT_FALSE(sockets.back()->waitFor("Clicks: 2").empty());
}

TEST_F(Http, SessionsEndAfterTheGraceTimeOnQuitAndOnStop) {
  int before = destroyed;
  httpRequest(port, "GET", "/");
  EXPECT_EQ(server.sessionCount(), 1u);
  EXPECT_TRUE(eventually([&] { return server.sessionCount() == 0 && destroyed == before + 1; }))
      << "a session without its page ends after the grace time";
  before = destroyed;
  WebSocketClient ws, a, b;
  openPage(ws);
  ws.send("{\"e\":\"quit\"}");
  EXPECT_TRUE(eventually([&] { return server.sessionCount() == 0 && destroyed == before + 1; })) << "quit";
  before = destroyed;
  openPage(a);
  openPage(b);
  server.stop();
  EXPECT_EQ(destroyed, before + 2) << "stop destroys every session";
  EXPECT_EQ(server.sessionCount(), 0u);
  EXPECT_FALSE(server.isRunning());
}

TEST_F(Http, MalformedOrOversizedRequestsAreAnsweredNotDropped) {
  EXPECT_EQ(httpRequest(port, "POST", "/", {}, "unexpected body").status, 413);
  const auto huge = httpRequest(port, "GET", "/trellium.css", {{"X-Filler", std::string(64 * 1024, 'a')}});
  EXPECT_NE(huge.status, 200);
  for (const std::string& raw : {std::string("GARBAGE\r\n\r\n"), std::string("GET /\r\n\r\n"),
                                std::string("GET / HTTP/1.1\r\nHost: a\r\nno colon here\r\n\r\n"),
                                std::string("GET / HTTP/1.1\r\nContent-Length: x\r\n\r\n")}) {
    TcpConnection c(port);
    c.send(raw);
    const auto r = c.receive();
    EXPECT_EQ(r.status, 400) << raw;
    EXPECT_NE(r.body.find("malformed request"), std::string::npos) << raw;
    EXPECT_TRUE(c.closedByPeer(std::chrono::seconds(5))) << raw;
  }
  TcpConnection big(port);
  big.send("GET / HTTP/1.1\r\nX-Filler: " + std::string(20000, 'a') + "\r\n\r\n");
  EXPECT_EQ(big.receive().status, 431);
}

TEST_F(Http, AnAddressOverItsCapsIsToldToWaitAndOthersGoOn) {
  const std::string crowded = "127.0.0.2";
  // Eight live pages from one address; the ninth page's socket is refused in words.
  std::vector<std::unique_ptr<WebSocketClient>> pages;
  for (int i = 0; i < 8; ++i) {
    const std::string sid = sessionIdOf(httpRequest(port, "GET", "/", {}, {}, crowded).body);
    pages.push_back(std::make_unique<WebSocketClient>());
    ASSERT_EQ(pages.back()->open(port, "/_w/ws?s=" + sid, origin, crowded), 101);
  }
  const std::string ninth = sessionIdOf(httpRequest(port, "GET", "/", {}, {}, crowded).body);
  WebSocketClient refused;
  EXPECT_EQ(refused.open(port, "/_w/ws?s=" + ninth, origin, crowded), 503);
  EXPECT_EQ(refused.handshakeHeaders().at("retry-after"), "5");
  const auto asked = httpRequest(port, "GET", "/_w/ws?s=" + ninth, {}, {}, crowded);
  EXPECT_EQ(asked.status, 503);
  EXPECT_NE(asked.body.find("Too many pages are open from 127.0.0.2"), std::string::npos);
  WebSocketClient elsewhere;
  const std::string other = sessionIdOf(httpRequest(port, "GET", "/", {}, {}, "127.0.0.3").body);
  EXPECT_EQ(elsewhere.open(port, "/_w/ws?s=" + other, origin, "127.0.0.3"), 101);

  // Plain HTTP: ten connections busy with a download nobody reads; the
  // eleventh from that address gets a 503 with Retry-After, not a reset.
  trl::test::writeFile(docRoot + "/big.bin", std::string(32u << 20, 'x'));
  std::vector<std::unique_ptr<TcpConnection>> busy;
  for (int i = 0; i < 10; ++i) {
    busy.push_back(std::make_unique<TcpConnection>(port, "127.0.0.4"));
    busy.back()->send("GET /big.bin HTTP/1.1\r\nHost: a\r\n\r\n");
  }
  EXPECT_TRUE(eventually([&] {
    TcpConnection extra(port, "127.0.0.4");
    const auto r = extra.receive(std::chrono::seconds(2));
    return r.status == 503 && r.header("Retry-After") == "5";
  }));
  EXPECT_EQ(httpRequest(port, "GET", "/trellium.css", {}, {}, "127.0.0.5").status, 200);
}

TEST_F(Http, IdleConnectionsOfAnAddressAtItsCapMakeRoom) {
  std::vector<std::unique_ptr<TcpConnection>> idle;
  for (int i = 0; i < 10; ++i) idle.push_back(std::make_unique<TcpConnection>(port, "127.0.0.6"));
  TcpConnection next(port, "127.0.0.6");
  EXPECT_EQ(next.get("/trellium.css").status, 200);
  EXPECT_TRUE(idle.front()->closedByPeer(std::chrono::seconds(5))) << "the oldest idle one made room";
  EXPECT_FALSE(idle.back()->closedByPeer(std::chrono::milliseconds(100)));
}
