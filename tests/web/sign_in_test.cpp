// The pieces of the sign-in: the back-off per address, the registry of
// sign-ins and its idle time-out, the form and the cookie, and the host
// names a browser may use.
#include <gtest/gtest.h>

#include "web/host_names.h"
#include "web/sign_in_page.h"
#include "web/sign_in_registry.h"

using namespace web;
using namespace std::chrono_literals;

TEST(SignInBackOff, FailuresFromOneAddressWaitLongerASuccessClearsThemAndTheTableIsBounded) {
  SignInBackOff b;
  const auto t = SignInBackOff::Clock::now();
  const auto fail = [&](const std::string& address) {
    const auto wait = b.begin(address, t);
    b.end(address, false, t);
    return std::chrono::duration_cast<std::chrono::seconds>(wait).count();
  };
  std::vector<long> waits;
  for (int i = 0; i < 10; ++i) waits.push_back(fail("10.0.0.7"));
  EXPECT_EQ(waits, (std::vector<long>{0, 0, 0, 1, 2, 4, 8, 16, 30, 30}));
  EXPECT_EQ(fail("10.0.0.8"), 0) << "another address (the account's owner, say) is not slowed";
  EXPECT_EQ(b.begin("10.0.0.7", t), 30s);
  b.end("10.0.0.7", true, t);
  EXPECT_EQ(fail("10.0.0.7"), 0) << "a success clears the count";

  // Guesses sent at once wait as if each had failed already.
  std::vector<long> parallel;
  for (int i = 0; i < 5; ++i)
    parallel.push_back(std::chrono::duration_cast<std::chrono::seconds>(b.begin("10.0.0.9", t)).count());
  EXPECT_EQ(parallel, (std::vector<long>{0, 0, 0, 1, 2}));

  // Quiet addresses are forgotten; running attempts are not.
  b.forget(t + SignInBackOff::Memory);
  EXPECT_EQ(b.size(), 1u) << "10.0.0.9 still has attempts running";
  EXPECT_EQ(fail("10.0.0.7"), 0);

  for (std::size_t i = 0; i < SignInBackOff::MaxAddresses + 100; ++i) fail("a" + std::to_string(i));
  EXPECT_EQ(b.size(), SignInBackOff::MaxAddresses) << "a flood of addresses stays bounded";
}

TEST(SignInRegistry, TokensAndTheIdleTimeOut) {
  SignInRegistry r;
  const auto t = SignInRegistry::Clock::now();
  const std::string a = r.add("alice", false, t), b = r.add("bob", true, t);
  EXPECT_EQ(a.size(), 32u);
  EXPECT_NE(a, b);
  EXPECT_EQ(r.find(a, false), "alice");
  EXPECT_FALSE(r.find(b, false)) << "made over HTTPS, of no use over plain HTTP";
  EXPECT_FALSE(r.find("0123456789abcdef0123456789abcdef", false));
  r.touch(a, t + 10min);  // a page load
  // bob's page is open: his sign-in lasts; alice's was used 25 minutes ago.
  EXPECT_TRUE(r.takeIdle(t + 35min, 30min, {b}).empty());
  EXPECT_EQ(r.takeIdle(t + 41min, 30min, {}), std::vector<std::string>{a});
  EXPECT_FALSE(r.find(a, false));
  EXPECT_EQ(r.remove(b), "bob") << "his page kept it fresh until 35 minutes";
  EXPECT_FALSE(r.remove(b));
  EXPECT_EQ(r.size(), 0u);
}

TEST(SignInPage, FormCookieAndPage) {
  const auto form = parseSignInForm("user=al%C3%AFce&password=p%26ss+word%3D");
  ASSERT_TRUE(form);
  EXPECT_EQ(form->user, "al\xc3\xaf" "ce");
  EXPECT_EQ(form->password, "p&ss word=");
  EXPECT_FALSE(parseSignInForm("user=alice"));
  EXPECT_FALSE(parseSignInForm("user=a&password=%zz"));
  EXPECT_FALSE(parseSignInForm("user=a&password=" + std::string(2000, 'x')));

  EXPECT_EQ(signInCookie("abc", false), "w_signin=abc; Path=/; HttpOnly; SameSite=Strict");
  EXPECT_EQ(signInCookie("abc", true), "__Host-w_signin=abc; Path=/; HttpOnly; SameSite=Strict; Secure");
  EXPECT_EQ(signInCookie("", false), "w_signin=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
  EXPECT_EQ(cookieValues("a=1; w_signin=x; b=2;w_signin=\"y\"", "w_signin"), (std::vector<std::string>{"x", "y"}));
  EXPECT_TRUE(cookieValues("xw_signin=1; w_signinx=2", "w_signin").empty());

  const std::string page = renderSignInPage("Tr<e>", "Who may", "Wrong user name or password", "a\"b", "/i.svg");
  EXPECT_NE(page.find("<title>Sign in \u2013 Tr&lt;e&gt;</title>"), std::string::npos);
  EXPECT_NE(page.find("<form method=\"post\" action=\"/_w/signin\"><p class=\"error\" role=\"alert\">"
                      "Wrong user name or password</p>"),
            std::string::npos);
  EXPECT_NE(page.find("value=\"a&quot;b\""), std::string::npos) << "the name tried comes back, escaped";
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_EQ(renderSignInPage("T", "", "", "", "").find("role=\"alert\""), std::string::npos) << "no message, no box";
}

TEST(HostNames, TheHostHeaderAndTheOrigin) {
  EXPECT_EQ(hostPart("Mgmt.Example.org:8443"), "mgmt.example.org");
  EXPECT_EQ(hostPart("mgmt.example.org."), "mgmt.example.org");
  EXPECT_EQ(hostPart("[::1]:80"), "[::1]");
  EXPECT_EQ(hostPart("10.0.0.1"), "10.0.0.1");
  for (const char* bad : {"", ":80", "a:b", "a:123456", "[::1", "[zz]", "a b", "a/b", "[::1]x"})
    EXPECT_EQ(hostPart(bad), "") << bad;

  const std::vector<std::string> own = machineHostNames();
  for (const char* name : {"localhost", "127.0.0.1"})
    EXPECT_NE(std::find(own.begin(), own.end(), name), own.end()) << name;
  EXPECT_TRUE(hostAllowed("127.0.0.1:8080", own));
  EXPECT_TRUE(hostAllowed("LOCALHOST", own));
  EXPECT_FALSE(hostAllowed("rebound.example:8080", own));
  EXPECT_FALSE(hostAllowed("", own));

  EXPECT_TRUE(sameOrigin("http://127.0.0.1:8080", "http", "127.0.0.1:8080"));
  EXPECT_TRUE(sameOrigin("HTTPS://Mgmt:8443", "https", "mgmt:8443"));
  EXPECT_FALSE(sameOrigin("https://127.0.0.1:8080", "http", "127.0.0.1:8080")) << "the scheme counts";
  EXPECT_FALSE(sameOrigin("http://127.0.0.1:8081", "http", "127.0.0.1:8080"));
  EXPECT_FALSE(sameOrigin("null", "http", "127.0.0.1:8080"));
  EXPECT_FALSE(sameOrigin("http://", "http", ""));
}
