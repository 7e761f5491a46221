// Who reaches the trellium process, over plain HTTP (loopback) and HTTPS:
// nothing but the sign-in page without a sign-in, a session id only with
// its own sign-in's cookie, no foreign host name, no foreign origin, TLS
// 1.2 or newer with the certificate made on first start, sign-ins that end
// when no page is open, and an audit line for each sign-in.
#include <gtest/gtest.h>

#include <openssl/ssl.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <thread>

#include "modules/server_certificate.h"
#include "tests/support/scratch.h"
#include "tests/web/support/demo_process.h"
#include "tests/web/support/net_client.h"
#include "tests/web/support/tls_client.h"

namespace {

using web::test::DemoProcess;
using web::test::HttpResponse;
using web::test::httpRequest;
using web::test::tlsRequest;

const std::string program = TRL_BINARY_DIR "/gui/trellium";
const std::string resources = TRL_BINARY_DIR "/resources";

class WebAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string command =
        std::string(TRL_SOURCE_DIR "/lab/make-sysroot.sh ") + root.dir() + " " + resources + " >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }

  // Trellium on loopback, plain HTTP and HTTPS on ports of its choice.
  void start(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--sysroot", root.dir(), "--http-address", "127.0.0.1", "--http-port", "0",
                                     "--https-address", "127.0.0.1", "--https-port", "0",
                                     "--docroot", resources + "/docroot", "--approot", resources + "/"};
    args.insert(args.end(), extra.begin(), extra.end());
    trellium.reset();
    trellium = std::make_unique<DemoProcess>(program, args, SIGTERM);
    http = trellium->port();
    const std::string line = trellium->expectContaining("(HTTPS)");
    ASSERT_FALSE(line.empty());
    https = static_cast<unsigned short>(std::stoi(line.substr(line.rfind(':') + 1)));
    trellium->discardOutput();
    origin = "http://127.0.0.1:" + std::to_string(http);
  }

  HttpResponse get(const std::string& target, const std::string& cookie = {}) {
    std::map<std::string, std::string> headers;
    if (!cookie.empty()) headers["Cookie"] = cookie;
    return httpRequest(http, "GET", target, headers);
  }

  HttpResponse post(const std::string& target, const std::string& body, const std::string& cookie = {},
                    const std::string& from = "") {
    std::map<std::string, std::string> headers{{"Content-Type", "application/x-www-form-urlencoded"}};
    if (!cookie.empty()) headers["Cookie"] = cookie;
    headers["Origin"] = from.empty() ? origin : from;
    return httpRequest(http, "POST", target, headers, body);
  }

  // "w_signin=TOKEN" of a new sign-in, or "" when refused.
  std::string signIn(const std::string& user = "demo", const std::string& password = "trellium-lab") {
    const HttpResponse r = post("/_w/signin", "user=" + user + "&password=" + password);
    const std::string cookie = r.header("Set-Cookie");
    return r.status == 303 ? cookie.substr(0, cookie.find(';')) : std::string();
  }

  std::vector<std::string> auditLines() {
    std::vector<std::string> lines;
    const std::string text = trl::test::readFile(root.dir() + "/var/log/trellium/audit.log");
    for (std::size_t b = 0, e; (e = text.find('\n', b)) != std::string::npos; b = e + 1) {
      const std::string line = text.substr(b, e - b);
      lines.push_back(line.substr(line.find('\t') + 1));  // without the time
    }
    return lines;
  }

  trl::test::ScratchRoot root;
  std::unique_ptr<DemoProcess> trellium;
  unsigned short http = 0, https = 0;
  std::string origin;
};

TEST_F(WebAccess, EveryRouteNeedsASignInAndASessionIdOnlyItsOwn) {
  start();
  const HttpResponse signInPage = get("/");
  EXPECT_EQ(signInPage.status, 200);
  EXPECT_NE(signInPage.body.find("action=\"/_w/signin\""), std::string::npos);
  EXPECT_EQ(signInPage.body.find("data-session"), std::string::npos) << "no session before a sign-in";
  EXPECT_EQ(get("/images/favicon.svg").status, 200) << "the page's icon";

  const HttpResponse wrong = post("/_w/signin", "user=demo&password=guess");
  EXPECT_EQ(wrong.status, 401);
  EXPECT_NE(wrong.body.find(">Wrong user name or password</p>"), std::string::npos);
  EXPECT_TRUE(wrong.header("Set-Cookie").empty());
  EXPECT_EQ(post("/_w/signin", "user=demo&password=trellium-lab", "", "http://rebound.example").status, 403)
      << "a form from another site";
  EXPECT_EQ(post("/_w/signin", "user=demo&password=trellium-lab", "", "https://127.0.0.1:" + std::to_string(http))
                .status,
            403)
      << "the scheme counts";

  const std::string mine = signIn(), theirs = signIn();  // two browsers
  ASSERT_FALSE(mine.empty());
  ASSERT_NE(mine, theirs);
  const std::string id = web::test::sessionIdOf(get("/", mine).body);
  ASSERT_EQ(id.size(), 32u);

  struct Route {
    std::string method, target;
    int mine;  // the status with the session's own cookie
  };
  const std::vector<Route> routes = {
      {"GET", "/", 200},
      {"GET", "/trellium.css", 200},
      {"GET", "/_w/client.js", 200},
      {"GET", "/_w/ws?s=" + id, 204},
      {"GET", "/_w/res?s=" + id + "&r=1", 404},          // "unknown resource": the session is found
      {"POST", "/_w/upload?s=" + id + "&w=w1", 403},     // "no upload expected": likewise
  };
  for (const Route& r : routes) {
    const auto send = [&](const std::string& cookie) {
      std::map<std::string, std::string> headers{{"Origin", origin}};
      if (!cookie.empty()) headers["Cookie"] = cookie;
      return httpRequest(http, r.method, r.target, headers, r.method == "POST" ? "data" : "");
    };
    EXPECT_EQ(send(mine).status, r.mine) << r.target;
    const HttpResponse none = send("");
    EXPECT_TRUE(none.status == 401 || (r.target == "/" && none.status == 200 &&
                                       none.body.find("data-session") == std::string::npos))
        << r.target << " without a sign-in: " << none.status;
    if (r.target.find(id) != std::string::npos) {
      const HttpResponse other = send(theirs);
      EXPECT_EQ(other.status, 404) << r.target << " with another browser's sign-in";
      EXPECT_NE(other.body.find("unknown session"), std::string::npos) << r.target;
    }
  }
  web::test::WebSocketClient socket;
  EXPECT_EQ(socket.open(http, "/_w/ws?s=" + id, origin, "127.0.0.1", theirs), 404) << "a replayed session id";
  EXPECT_EQ(socket.open(http, "/_w/ws?s=" + id, origin, "127.0.0.1", ""), 401);
  EXPECT_EQ(socket.open(http, "/_w/ws?s=" + id, "https://127.0.0.1:" + std::to_string(http), "127.0.0.1", mine), 403)
      << "an origin of another scheme";
  EXPECT_EQ(socket.open(http, "/_w/ws?s=" + id, origin, "127.0.0.1", mine), 101);
  socket.close();

  // Signing out ends the sign-in and its sessions; the cookie is deleted.
  const HttpResponse out = post("/_w/signout", "", mine);
  EXPECT_EQ(out.status, 303);
  EXPECT_EQ(out.header("Location"), "/");
  EXPECT_NE(out.header("Set-Cookie").find("w_signin=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0"), std::string::npos);
  EXPECT_EQ(get("/_w/ws?s=" + id, mine).status, 401);
  EXPECT_NE(get("/", mine).body.find("action=\"/_w/signin\""), std::string::npos);
  EXPECT_EQ(get("/_w/ws?s=" + id, theirs).status, 404) << "its sessions are gone";
  EXPECT_EQ(get("/trellium.css", theirs).status, 200) << "the other browser stays signed in";

  trellium.reset();  // every line is written by now
  EXPECT_EQ(auditLines(), (std::vector<std::string>{"demo\t127.0.0.1\tfailed sign-in\t-",
                                                    "demo\t127.0.0.1\tsign in\t-", "demo\t127.0.0.1\tsign in\t-",
                                                    "demo\t127.0.0.1\tsign out\t-"}));
}

TEST_F(WebAccess, TlsOneTwoOrNewerWithTheCertificateMadeOnFirstStart) {
  start();
  const std::string dir = root.dir() + "/var/lib/trellium/private/";
  struct stat st;
  for (const char* file : {"server.crt", "server.key"}) {
    ASSERT_EQ(::stat((dir + file).c_str(), &st), 0) << file;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
  }
  const std::string fingerprint = trl::certificateFingerprint(dir + "server.crt");
  const auto page = tlsRequest(https, "GET", "/");
  ASSERT_TRUE(page.handshake);
  EXPECT_TRUE(page.protocol == "TLSv1.3" || page.protocol == "TLSv1.2") << page.protocol;
  EXPECT_EQ(page.fingerprint, fingerprint);
  EXPECT_EQ(page.response.status, 200);
  EXPECT_NE(page.response.body.find("action=\"/_w/signin\""), std::string::npos);
  EXPECT_EQ(page.response.header("Strict-Transport-Security"), "max-age=31536000");
  EXPECT_TRUE(tlsRequest(https, "GET", "/", {}, {}, TLS1_2_VERSION).handshake);
  EXPECT_FALSE(tlsRequest(https, "GET", "/", {}, {}, TLS1_1_VERSION).handshake) << "TLS 1.1 is refused";
  EXPECT_EQ(httpRequest(https, "GET", "/").status, 0) << "plain HTTP on the HTTPS port gets nothing";

  const std::string secureOrigin = "https://127.0.0.1:" + std::to_string(https);
  const auto signIn = tlsRequest(https, "POST", "/_w/signin",
                                 {{"Origin", secureOrigin}, {"Content-Type", "application/x-www-form-urlencoded"}},
                                 "user=demo&password=trellium-lab");
  EXPECT_EQ(signIn.response.status, 303);
  const std::string cookie = signIn.response.header("Set-Cookie");
  EXPECT_EQ(cookie.rfind("__Host-w_signin=", 0), 0u) << cookie;
  EXPECT_NE(cookie.find("; Path=/; HttpOnly; SameSite=Strict; Secure"), std::string::npos) << cookie;
  const std::string token = cookie.substr(0, cookie.find(';'));
  EXPECT_NE(tlsRequest(https, "GET", "/", {{"Cookie", token}}).response.body.find("data-session"), std::string::npos);
  EXPECT_EQ(get("/trellium.css", "w_signin" + token.substr(token.find('='))).status, 401)
      << "a sign-in over HTTPS is no sign-in over plain HTTP";

  start();  // a second start keeps the certificate
  EXPECT_EQ(tlsRequest(https, "GET", "/").fingerprint, fingerprint);
}

TEST_F(WebAccess, ASignInEndsWhenNoPageOfItHasBeenOpenForTheIdleTime) {
  start({"--idle-timeout", "0.02"});  // 1.2 s
  const std::string open = signIn(), closed = signIn();
  const std::string id = web::test::sessionIdOf(get("/", open).body);
  web::test::WebSocketClient socket;
  ASSERT_EQ(socket.open(http, "/_w/ws?s=" + id, origin, "127.0.0.1", open), 101);
  EXPECT_TRUE(trl::test::eventually([&] { return get("/trellium.css", closed).status == 401; }));
  EXPECT_EQ(get("/trellium.css", open).status, 200) << "its page is open";
  socket.close();
  EXPECT_TRUE(trl::test::eventually([&] { return get("/trellium.css", open).status == 401; }));
}

TEST_F(WebAccess, PlainHttpOffLoopbackOnlyWhenAskedAndWithAWarning) {
  // Everything it says, until it listens (then it is stopped) or ends.
  const auto run = [&](const std::string& extra) {
    const std::string command = "echo $$; exec " + program + " --sysroot " + root.dir() +
                                " --http-address 0.0.0.0 --http-port 0 --docroot " + resources + "/docroot " + extra +
                                " 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> out(::popen(command.c_str(), "r"), &::pclose);
    char buffer[4096];
    const pid_t pid = std::fgets(buffer, sizeof buffer, out.get()) ? std::atoi(buffer) : 0;
    std::string text;
    while (std::fgets(buffer, sizeof buffer, out.get())) {
      text += buffer;
      if (pid > 0 && text.find("listening on") != std::string::npos) ::kill(pid, SIGTERM);
    }
    return text;
  };
  const std::string refused = run("");
  EXPECT_NE(refused.find("plain HTTP on 0.0.0.0 would carry passwords unencrypted"), std::string::npos) << refused;
  EXPECT_EQ(refused.find("listening on"), std::string::npos);
  const std::string allowed = run("--allow-plain-http");
  EXPECT_NE(allowed.find("warning: plain HTTP on 0.0.0.0:0 (--allow-plain-http): passwords and pages cross the "
                         "network unencrypted"),
            std::string::npos)
      << allowed;
  EXPECT_NE(allowed.find("listening on 0.0.0.0:"), std::string::npos) << allowed;
}

}  // namespace
