// Server options, request paths and session ids.
#include <gtest/gtest.h>

#include <unistd.h>

#include <set>

#include "tests/support/scratch.h"
#include "web/server_options.h"
#include "web/session_id.h"
#include "web/static_files.h"
#include "web/url.h"

using namespace web;

TEST(ServerOptions, CommandLineWinsOverTheFile) {
  trl::test::ScratchRoot root;
  const std::string file = root.dir() + "/wthttpd";
  trl::test::writeFile(file, "# web server\nhttp-address = 127.0.0.1\nhttp-port = 8081\ndocroot = /srv/www\n"
                             "max-request-size = 2M\nthreads = 3\n");
  const char* argv[] = {"trellium", "--http-port", "9090", "--approot=/opt/app"};
  const ServerOptions o = parseServerOptions(4, argv, file);
  EXPECT_EQ(o.httpAddress, "127.0.0.1");
  EXPECT_EQ(o.httpPort, 9090);
  EXPECT_EQ(o.docRoot, "/srv/www");
  EXPECT_EQ(o.appRoot, "/opt/app");
  EXPECT_EQ(o.maxRequestSize, 2u << 20);
  EXPECT_EQ(o.threads, 3u);
}

TEST(ServerOptions, BadInputIsReportedClearly) {
  trl::test::ScratchRoot root;
  const std::string file = root.dir() + "/wthttpd";
  trl::test::writeFile(file, "http-prot = 80\n");
  const char* argv[] = {"trellium"};
  EXPECT_THROW(parseServerOptions(1, argv, file), ServerError);
  EXPECT_THROW(parseServerOptions(1, argv, root.dir() + "/missing"), ServerError);
  for (const char* port : {"70000", "-1", "80x", ""}) {
    const char* badPort[] = {"trellium", "--http-port", port};
    EXPECT_THROW(parseServerOptions(3, badPort, ""), ServerError) << port;
  }
  const char* unknown[] = {"trellium", "--sysroot", "/tmp/x"};
  EXPECT_THROW(parseServerOptions(3, unknown, ""), ServerError) << "the server alone knows only its own options";
  const char* badSize[] = {"trellium", "--max-request-size", "12X"};
  try {
    parseServerOptions(3, badSize, "");
    FAIL();
  } catch (const ServerError& e) {
    EXPECT_NE(std::string(e.what()).find("max-request-size"), std::string::npos);
  }
  const ServerOptions defaults = parseServerOptions(1, argv, "");
  EXPECT_EQ(defaults.httpPort, 8080);
}

TEST(Url, PercentDecodingIsStrict) {
  EXPECT_EQ(*percentDecode("/a%20b/%2e%2E"), "/a b/..");
  EXPECT_FALSE(percentDecode("/a%2"));
  EXPECT_FALSE(percentDecode("/a%zz"));
  EXPECT_FALSE(percentDecode("/a%00b"));
  EXPECT_EQ(*percentDecode("a+b", true), "a b");
  const auto t = parseTarget("/_w/upload?s=abc&w=w12&n=my%20file.deb");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->path, "/_w/upload");
  EXPECT_EQ(t->query.at("n"), "my file.deb");
  EXPECT_FALSE(parseTarget("/x?a=%G1"));
}

TEST(StaticFiles, FilesInsideTheRootAndNothingOutside) {
  trl::test::ScratchRoot root;
  root.mkdir("/www/images");
  trl::test::writeFile(root.dir() + "/www/trellium.css", "body{}");
  trl::test::writeFile(root.dir() + "/www/images/headline.png", "png");
  trl::test::writeFile(root.dir() + "/www/.hidden", "no");
  trl::test::writeFile(root.dir() + "/secret.txt", "secret");
  ASSERT_EQ(::symlink((root.dir() + "/secret.txt").c_str(), (root.dir() + "/www/link.txt").c_str()), 0);
  char* real = ::realpath((root.dir() + "/www").c_str(), nullptr);
  const std::string docRoot = real;
  free(real);
  EXPECT_EQ(*resolveStaticFile(docRoot, "/trellium.css"), docRoot + "/trellium.css");
  EXPECT_EQ(*resolveStaticFile(docRoot, "/images//headline.png"), docRoot + "/images/headline.png");
  EXPECT_EQ(*resolveStaticFile(docRoot, "/images/%68eadline.png"), docRoot + "/images/headline.png");
  for (const char* p : {"/../secret.txt", "/images/../../secret.txt", "/%2e%2e/secret.txt", "/%2E%2E%2Fsecret.txt",
                        "/images/..%2f..%2fsecret.txt", "/link.txt", "/.hidden", "/images", "/", "",
                        "secret.txt", "/images/%zz", "/..\\secret.txt", "/missing.css"}) {
    EXPECT_FALSE(resolveStaticFile(docRoot, p)) << p;
  }
}

TEST(MimeTypes, ByExtension) {
  EXPECT_EQ(mimeType("/x/trellium.css"), "text/css; charset=utf-8");
  EXPECT_EQ(mimeType("a.PNG"), "image/png");
  EXPECT_EQ(mimeType("serveron.svg"), "image/svg+xml");
  EXPECT_EQ(mimeType("client.js"), "text/javascript; charset=utf-8");
  EXPECT_EQ(mimeType("trellium_1.4.7_amd64.deb"), "application/vnd.debian.binary-package");
  EXPECT_EQ(mimeType("dir.d/noext"), "application/octet-stream");
}

TEST(SessionId, HundredTwentyEightRandomBits) {
  std::set<std::string> ids;
  for (int i = 0; i < 1000; ++i) {
    const std::string id = newSessionId();
    EXPECT_TRUE(looksLikeSessionId(id)) << id;
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), 1000u);
  EXPECT_FALSE(looksLikeSessionId("0123"));
  EXPECT_FALSE(looksLikeSessionId("0123456789ABCDEF0123456789abcdef"));
}
