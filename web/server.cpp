// The only file that compiles Boost.Beast and Boost.Asio (about 30 s and
// 1 GB of compiler memory): socket threads do I/O only; everything that
// touches an application goes to its session (see session.h). A connection
// is written once for both kinds of stream: plain TCP and TLS over it.
#include "web/server.h"

#include <boost/asio/impl/src.hpp>
#include <boost/asio/ssl/impl/src.hpp>
#include <boost/beast/src.hpp>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <openssl/ssl.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <atomic>
#include <climits>
#include <limits>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <iostream>
#include <optional>
#include <thread>
#include <type_traits>
#include <vector>

#include "web/client_assets.h"
#include "web/connection_limits.h"
#include "web/handler_pool.h"
#include "web/host_names.h"
#include "web/page.h"
#include "web/protocol.h"
#include "web/session_id.h"
#include "web/session_registry.h"
#include "web/sign_in_page.h"
#include "web/sign_in_registry.h"
#include "web/static_files.h"
#include "web/url.h"

namespace web {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

namespace {

template <class Stream>
constexpr bool isTls = std::is_same_v<Stream, TlsStream>;

constexpr auto ReadTimeout = std::chrono::seconds(30);
constexpr auto UploadIdleTimeout = std::chrono::seconds(60);
constexpr auto LingerTimeout = std::chrono::seconds(2);
constexpr std::size_t MaxHeaderSize = 16 * 1024;
constexpr std::size_t MaxEventSize = 1 << 20;             // one message up from a page
constexpr std::size_t MaxQueuedBytes = 16u << 20;         // down to a page that does not read
constexpr std::size_t MaxQueuedMessages = 4096;
constexpr std::size_t MaxLingerBytes = 64 * 1024;
constexpr std::size_t InMemoryFileSize = 256 * 1024;      // smaller files hold no descriptor while sent
// Connections answered "busy" at once; beyond these a newcomer is closed
// unanswered, so that a flood cannot spend the descriptors on refusals.
constexpr std::size_t MaxRefusals = 8;
// Descriptors the process needs besides its connections (standard streams,
// the listener, Asio's own, the application's files and children).
constexpr std::size_t OtherDescriptors = 40;
constexpr int BusyRetrySeconds = 5;
constexpr std::size_t MaxSignInForm = 4096;  // a user name and a password
const char* const WrongPassword = "Wrong user name or password";

const char* const PagePolicy =
    "default-src 'self'; script-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:; "
    "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'";
// The sign-in page: its own inline style, its form, and the page's icon.
const char* const SignInPolicy =
    "default-src 'none'; style-src 'unsafe-inline'; img-src 'self'; form-action 'self'; frame-ancestors 'none'; "
    "base-uri 'none'";
// Documents from the document root (.html, .svg opened on their own) get
// the page's policy without scripts or connections.
const char* const DocumentPolicy =
    "default-src 'self'; script-src 'none'; style-src 'self' 'unsafe-inline'; img-src 'self' data:; "
    "connect-src 'none'; frame-ancestors 'self'; base-uri 'none'; form-action 'none'";

bool isDocument(const std::string& mime) {
  return mime.compare(0, 9, "text/html") == 0 || mime.compare(0, 13, "image/svg+xml") == 0;
}

std::string tooManyPages(const std::string& address) {
  return "Too many pages are open from " + address +
         ". Close one you no longer need; this page then connects by itself.";
}

// Freed memory goes back to the system: glibc keeps what a burst of
// sessions used unless asked.
void releaseFreedMemory() {
#ifdef __GLIBC__
  ::malloc_trim(0);
#endif
}

std::string headerText(const beast::string_view v) { return std::string(v.data(), v.size()); }

bool isLoopback(const std::string& address) {
  beast::error_code ec;
  const auto a = net::ip::make_address(address, ec);
  return !ec && a.is_loopback();
}

std::string contentDisposition(const std::string& name) {
  std::string ascii;
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    ascii += (u < 0x20 || u >= 0x7f || c == '"' || c == '\\') ? '_' : c;
  }
  return "attachment; filename=\"" + ascii + "\"; filename*=UTF-8''" + percentEncode(name);
}

// Asio opens and accepts sockets without close-on-exec; a program the
// application starts would inherit them (a daemon started through a
// service manager would then hold our port after we exit).
void openCloseOnExec(tcp::acceptor& acceptor, const tcp& protocol, beast::error_code& ec) {
  const int fd = ::socket(protocol.family(), SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    ec.assign(errno, boost::system::system_category());
    return;
  }
  acceptor.assign(protocol, fd, ec);
  if (ec) ::close(fd);
}

void setCloseOnExec(int fd) { ::fcntl(fd, F_SETFD, FD_CLOEXEC); }

}  // namespace

struct Server::Impl {
  explicit Impl(std::string path) : applicationPath(std::move(path)) {}
  ~Impl();

  // One listening socket, plain or TLS.
  struct Listener {
    bool tls = false;
    unsigned short port = 0;
    std::unique_ptr<tcp::acceptor> acceptor;
    std::unique_ptr<net::steady_timer> pause;  // out of descriptors: accept again later
  };

  void listen(bool tls, const std::string& address, unsigned short port);
  void makeTlsContext();
  void startAccept(Listener& listener);
  template <class Stream>
  void accepted(tcp::socket socket);
  void startReaper();
  void reap();
  void teardownLater(std::shared_ptr<Session> s);
  void checkDescriptorBudget() const;
  // Ends a sign-in and every session of it.
  void endSignIn(const std::string& token);

  std::string applicationPath;
  ServerOptions options;
  ApplicationFactory factory;
  std::string entryPath = "/";
  std::string pageIcon;
  std::string docRoot;  // canonical
  std::string spoolDir;
  std::vector<std::string> allowedHosts;  // lower-case, no port
  std::atomic<bool> running{false};
  std::atomic<bool> trimWanted{false};
  std::atomic<std::size_t> refusals{0};

  std::optional<SignIn> signIn;  // none: nobody is asked to sign in
  SignInRegistry signIns;
  SignInBackOff backOff;

  ConnectionLimits limits;  // outlives the connections (destroyed with ioc)
  SessionRegistry registry;
  std::unique_ptr<HandlerPool> pool;
  // Password checks run here: they may block for seconds, and must keep
  // neither a socket thread nor a session's handler waiting.
  std::unique_ptr<HandlerPool> signInPool;
  std::unique_ptr<net::io_context> ioc;
  std::unique_ptr<net::ssl::context> tls;
  std::vector<Listener> listeners;
  std::unique_ptr<net::steady_timer> reaper;
  std::vector<std::thread> threads;
};

namespace {

// One WebSocket: the channel of one session to its page.
template <class Stream>
class SocketChannel : public Channel, public std::enable_shared_from_this<SocketChannel<Stream>> {
 public:
  SocketChannel(Stream&& stream, std::shared_ptr<Session> session,
                std::unique_ptr<ConnectionLimits::Place> place)
      : ws_(std::move(stream)), session_(std::move(session)), place_(std::move(place)),
        order_(session_->reserveConnection()) {}

  void accept(http::request<http::empty_body> req) {
    // Losing the place to a fairer share drops the socket at once (a peer
    // that never answers a closing handshake must not keep its descriptor);
    // the page then asks before it comes back.
    if (!place_->onEvict([weak = this->weak_from_this()] {
          if (auto self = weak.lock()) net::post(self->ws_.get_executor(), [self] {
            self->closed_ = true;
            self->abort();
          });
        })) {
      beast::error_code ec;
      beast::get_lowest_layer(ws_).socket().close(ec);
      return;
    }
    beast::get_lowest_layer(ws_).expires_never();
    auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
    // Pings find a browser that vanished without closing.
    timeouts.idle_timeout = std::chrono::seconds(30);
    timeouts.keep_alive_pings = true;
    ws_.set_option(timeouts);
    ws_.read_message_max(MaxEventSize);
    ws_.async_accept(req, [self = this->shared_from_this()](beast::error_code ec) {
      if (ec) return;
      self->session_->connect(self, self->order_);
      self->read();
    });
  }

  void send(std::string message) override {
    net::post(ws_.get_executor(), [self = this->shared_from_this(), m = std::move(message)]() mutable {
      self->enqueue(std::move(m));
    });
  }

  void close() override {
    net::post(ws_.get_executor(), [self = this->shared_from_this()] {
      if (self->closed_) return;
      self->closed_ = true;
      if (self->writing_) {
        self->abort();
        return;
      }
      self->ws_.async_close(websocket::close_code::normal, [self](beast::error_code) {});
    });
  }

 private:
  void read() {
    ws_.async_read(in_, [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) {
        self->session_->disconnect(self.get());
        return;
      }
      const std::string text = beast::buffers_to_string(self->in_.data());
      self->in_.consume(self->in_.size());
      if (auto event = decodeEvent(text)) {
        // The page learns at once that a person's action arrived.
        if (event->action) self->enqueue(encodeReceipt(event->action));
        self->session_->deliver(std::move(*event));
      }
      self->read();
    });
  }

  void enqueue(std::string m) {
    if (closed_) return;
    queuedBytes_ += m.size();
    queue_.push_back(std::move(m));
    // A page that does not read must not hold the server's memory: drop its
    // socket; it reconnects and gets the whole page.
    if (queuedBytes_ > MaxQueuedBytes || queue_.size() > MaxQueuedMessages) {
      closed_ = true;
      abort();
      return;
    }
    if (!writing_) write();
  }

  void write() {
    writing_ = true;
    ws_.text(true);
    ws_.async_write(net::buffer(queue_.front()), [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
      self->queuedBytes_ -= self->queue_.front().size();
      self->queue_.pop_front();
      self->writing_ = false;
      if (ec) return;
      if (!self->queue_.empty() && !self->closed_) self->write();
    });
  }

  void abort() {
    beast::error_code ec;
    beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ec);
    beast::get_lowest_layer(ws_).socket().close(ec);
    session_->disconnect(this);
  }

  websocket::stream<Stream> ws_;
  std::shared_ptr<Session> session_;
  const std::unique_ptr<ConnectionLimits::Place> place_;
  const std::uint64_t order_;
  beast::flat_buffer in_;
  std::deque<std::string> queue_;
  std::size_t queuedBytes_ = 0;
  bool writing_ = false;
  bool closed_ = false;
};

// One HTTP connection: requests one after another (keep-alive), over plain
// TCP or TLS.
template <class Stream>
class HttpConnection : public std::enable_shared_from_this<HttpConnection<Stream>> {
 public:
  HttpConnection(tcp::socket&& socket, Server::Impl& server)
      : strand_(socket.get_executor()), stream_(openStream(std::move(socket), server)), server_(server),
        timer_(strand_) {
    beast::error_code ec;
    const auto remote = lowest().socket().remote_endpoint(ec);
    if (!ec) address_ = remote.address().to_string();
  }
  ~HttpConnection() {
    if (refusing_) --server_.refusals;
    if (!spool_.empty()) ::unlink(spool_.c_str());
  }

  const std::string& address() const { return address_; }

  void run(std::unique_ptr<ConnectionLimits::Place> place) {
    place_ = std::move(place);
    net::dispatch(strand_, [self = self()] {
      // Losing the place: closed, unless the socket has become a WebSocket.
      if (!self->place_->onEvict([weak = self->weak_from_this()] {
            if (auto c = weak.lock()) net::post(c->strand_, [c] { c->closeSocket(); });
          }))
        return self->closeSocket();
      if constexpr (isTls<Stream>)
        self->handshake();
      else
        self->readHeader();
    });
  }

  // No place for this connection: a short answer that says so, then closed.
  void refuse() {
    if (server_.refusals.fetch_add(1) >= MaxRefusals) {
      --server_.refusals;
      return net::dispatch(strand_, [self = self()] { self->closeSocket(); });
    }
    refusing_ = true;
    net::dispatch(strand_, [self = self()] {
      if constexpr (isTls<Stream>) {
        // The refusal must be readable: it goes after the handshake.
        self->lowest().expires_after(ReadTimeout);
        self->stream_.async_handshake(net::ssl::stream_base::server, [self](beast::error_code ec) {
          if (ec) return self->closeSocket();
          self->sendBusy();
        });
      } else {
        self->sendBusy();
      }
    });
  }

 private:
  static Stream openStream(tcp::socket&& socket, Server::Impl& server) {
    if constexpr (isTls<Stream>)
      return Stream(std::move(socket), *server.tls);
    else
      return Stream(std::move(socket));
  }
  std::shared_ptr<HttpConnection> self() { return this->shared_from_this(); }
  beast::tcp_stream& lowest() { return beast::get_lowest_layer(stream_); }
  static const char* scheme() { return isTls<Stream> ? "https" : "http"; }

  void sendBusy() { sendUnavailable("The server is busy: too many connections. Try again in a few seconds."); }

  // A peer that never finishes its handshake is idle: the first to make room.
  void handshake() {
    lowest().expires_after(ReadTimeout);
    place_->setIdle(true);
    stream_.async_handshake(net::ssl::stream_base::server, [self = self()](beast::error_code ec) {
      self->place_->setIdle(false);
      if (ec) return self->closeSocket();
      self->readHeader();
    });
  }

  void readHeader() {
    formParser_.reset();
    parser_.emplace();
    parser_->header_limit(MaxHeaderSize);
    // Limits are checked per route once the header is known (an upload too
    // large must still reach its widget's size signal).
    parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
    lowest().expires_after(ReadTimeout);
    place_->setIdle(true);
    http::async_read_header(stream_, buffer_, *parser_, [self = self()](beast::error_code ec, std::size_t) {
      self->place_->setIdle(false);
      if (ec) return self->badRequest(ec);
      self->route();
    });
  }

  // A request that could not be read: malformed ones get an answer that
  // says so; a peer that closed or went silent gets nothing.
  void badRequest(beast::error_code ec) {
    if (ec == http::error::header_limit)
      return sendText(http::status::request_header_fields_too_large, "request header too large", false);
    if (ec.category() == http::make_error_code(http::error::bad_target).category() &&
        ec != http::error::end_of_stream && ec != http::error::partial_message)
      return sendText(http::status::bad_request, "malformed request: " + ec.message(), false);
    closeSocket();
  }

  template <class Body>
  void send(http::response<Body>&& res) {
    res.set(http::field::server, "trellium");
    res.set("X-Content-Type-Options", "nosniff");
    // Our pages' forms must name their origin (a browser sends "null" for a
    // page that sends no referrer); other sites learn nothing of our URLs.
    res.set("Referrer-Policy", "same-origin");
    if constexpr (isTls<Stream>) res.set(http::field::strict_transport_security, "max-age=31536000");
    const auto sp = std::make_shared<http::response<Body>>(std::move(res));
    lowest().expires_after(ReadTimeout);
    http::async_write(stream_, *sp, [self = self(), sp](beast::error_code ec, std::size_t) {
      if (ec) return self->closeSocket();
      if (sp->need_eof()) return self->lingeringClose();
      self->readHeader();
    });
  }

  void sendText(http::status status, const std::string& text, bool keepAlive = true, int retryAfter = 0) {
    http::response<http::string_body> res{status, 11};
    res.set(http::field::content_type, "text/plain; charset=utf-8");
    res.set(http::field::cache_control, "no-store");
    if (retryAfter > 0) res.set(http::field::retry_after, std::to_string(retryAfter));
    res.body() = text + "\n";
    // A body we did not read would be taken for the next request.
    res.keep_alive(keepAlive && keepAlive_ && requestComplete());
    res.prepare_payload();
    send(std::move(res));
  }

  void sendUnavailable(const std::string& text, int retryAfter = BusyRetrySeconds) {
    sendText(http::status::service_unavailable, text, false, retryAfter);
  }

  // To another page of ours, by GET (after a form: the back button then
  // never posts the form again).
  void redirect(const std::string& location, const std::string& cookie = {}) {
    http::response<http::empty_body> res{http::status::see_other, 11};
    res.set(http::field::location, location);
    res.set(http::field::cache_control, "no-store");
    if (!cookie.empty()) res.set(http::field::set_cookie, cookie);
    res.keep_alive(keepAlive_ && requestComplete());
    res.prepare_payload();
    send(std::move(res));
  }

  bool requestComplete() const { return formParser_ ? formParser_->is_done() : parser_->is_done(); }

  // The request's header, while the header parser has it (a body read
  // moves it into a parser of its own: see keepAlive_ and cookies_).
  const http::request<http::empty_body>& request() const { return parser_->get(); }

  void route() {
    const auto& req = request();
    keepAlive_ = req.keep_alive();
    head_ = req.method() == http::verb::head;
    cookies_ = headerText(req[http::field::cookie]);
    const auto target = parseTarget(std::string_view(req.target().data(), req.target().size()));
    if (!target) return sendText(http::status::bad_request, "malformed request target", false);
    // A page served at a foreign name (DNS rebinding) gets nothing.
    const std::string host = headerText(req[http::field::host]);
    if (!hostAllowed(host, server_.allowedHosts))
      return sendText(http::status::misdirected_request,
                      "This server does not answer to the name " + (host.empty() ? std::string("(none)") : host) +
                          ". Open it at one of its own names or addresses.",
                      false);
    const std::string& path = target->path;
    if (server_.signIn) {
      if (path == route::SignIn) return signInRequest();
      if (path == route::SignOut) return signOutRequest();
      signInToken_.clear();
      user_.clear();
      for (const auto& token : cookieValues(cookies_, signInCookieName(isTls<Stream>))) {
        if (auto user = server_.signIns.find(token, isTls<Stream>)) {
          signInToken_ = token;
          user_ = std::move(*user);
          break;
        }
      }
      if (signInToken_.empty()) return notSignedIn(path);
    }
    if (path == route::Socket && websocket::is_upgrade(req)) return openSocket(*target);
    if (path == route::Upload) return upload(*target);
    // Only uploads carry a body; anything else with one is refused.
    if (!parser_->is_done()) return sendText(http::status::payload_too_large, "request body not accepted", false);
    if (req.method() != http::verb::get && req.method() != http::verb::head)
      return sendText(http::status::method_not_allowed, "method not allowed");
    if (path == server_.entryPath) return newPage();
    if (path == route::Socket) return socketProbe(*target);
    if (path == route::Resource) return download(*target);
    if (path.compare(0, std::strlen(route::Prefix), route::Prefix) == 0) return clientFile(path);
    staticFile(path);
  }

  // Without a sign-in: the sign-in page at the entry point (and its icon),
  // for everything else a refusal that says why. A page whose sign-in ended
  // learns it from its socket's probe (401) and loads the sign-in page.
  void notSignedIn(const std::string& path) {
    const auto method = request().method();
    const bool read = method == http::verb::get || method == http::verb::head;
    if (read && parser_->is_done()) {
      if (path == server_.entryPath) return signInPage(http::status::ok, {}, {});
      if (!server_.pageIcon.empty() && path == server_.pageIcon) return staticFile(path);
    }
    sendText(http::status::unauthorized, "Not signed in: open the start page and sign in.");
  }

  void signInPage(http::status status, const std::string& message, const std::string& user) {
    const SignIn& signIn = *server_.signIn;
    // A cookie of a sign-in that ended is of no more use.
    const bool staleCookie = !cookieValues(cookies_, signInCookieName(isTls<Stream>)).empty();
    sendPage(status, SignInPolicy, renderSignInPage(signIn.title, signIn.note, message, user, server_.pageIcon),
             keepAlive_ && requestComplete(), staleCookie ? signInCookie({}, isTls<Stream>) : std::string());
  }

  // A page of ours; a HEAD request gets its length only.
  void sendPage(http::status status, const char* policy, std::string page, bool keepAlive,
                const std::string& cookie = {}) {
    http::response<http::string_body> res{status, 11};
    res.set(http::field::content_type, "text/html; charset=utf-8");
    res.set(http::field::cache_control, "no-store");
    res.set("Content-Security-Policy", policy);
    res.set("X-Frame-Options", "DENY");
    if (!cookie.empty()) res.set(http::field::set_cookie, cookie);
    res.keep_alive(keepAlive);
    const std::size_t size = page.size();
    if (!head_) res.body() = std::move(page);
    res.prepare_payload();
    if (head_) res.content_length(size);
    send(std::move(res));
  }

  // A form that posts to us must come from one of our own pages.
  bool postedFromOurPage() const {
    const auto& req = request();
    return req.method() == http::verb::post &&
           sameOrigin(headerText(req[http::field::origin]), scheme(), headerText(req[http::field::host]));
  }

  void signInRequest() {
    if (request().method() == http::verb::get && parser_->is_done()) return redirect(server_.entryPath);
    if (!postedFromOurPage()) return sendText(http::status::forbidden, "sign-in refused: not sent from our page", false);
    const auto length = parser_->content_length();
    if (length && *length > MaxSignInForm)
      return sendText(http::status::payload_too_large, "sign-in form too large", false);
    formParser_.emplace(std::move(*parser_));
    formParser_->body_limit(MaxSignInForm);
    lowest().expires_after(ReadTimeout);
    http::async_read(stream_, buffer_, *formParser_, [self = self()](beast::error_code ec, std::size_t) {
      if (ec == http::error::body_limit)
        return self->sendText(http::status::payload_too_large, "sign-in form too large", false);
      if (ec) return self->closeSocket();
      self->checkSignIn();
    });
  }

  // The attempt waits its turn (the back-off of its address), then the
  // password is checked on a thread of its own; the answer comes back here.
  void checkSignIn() {
    std::string& body = formParser_->get().body();
    std::optional<SignInForm> form = parseSignInForm(body);
    ::explicit_bzero(body.data(), body.size());
    body.clear();
    if (!form) return sendText(http::status::bad_request, "malformed sign-in form", false);
    const auto delay = server_.backOff.begin(address_, SignInBackOff::Clock::now());
    auto attempt = std::make_shared<SignInForm>(std::move(*form));
    timer_.expires_after(delay);
    timer_.async_wait([self = self(), attempt](beast::error_code ec) {
      if (ec) return;
      self->server_.signInPool->post([self, attempt] {
        Server::Impl& server = self->server_;
        bool ok = false;
        try {
          ok = server.signIn->check(attempt->user, attempt->password, self->address_);
        } catch (const std::exception& e) {
          std::cerr << "[web] checking a sign-in failed: " << e.what() << std::endl;
        }
        ::explicit_bzero(attempt->password.data(), attempt->password.size());
        server.backOff.end(self->address_, ok, SignInBackOff::Clock::now());
        if (server.signIn->record) {
          try {
            server.signIn->record(ok ? SignInEvent::SignedIn : SignInEvent::Failed, attempt->user, self->address_);
          } catch (const std::exception& e) {
            std::cerr << "[web] recording a sign-in failed: " << e.what() << std::endl;
          }
        }
        net::post(self->strand_, [self, ok, user = attempt->user] { self->signInDone(ok, user); });
      });
    });
  }

  void signInDone(bool ok, const std::string& user) {
    if (!ok) return signInPage(http::status::unauthorized, WrongPassword, user);
    const std::string token = server_.signIns.add(user, isTls<Stream>, SignInRegistry::Clock::now());
    redirect(server_.entryPath, signInCookie(token, isTls<Stream>));
  }

  // Ends the sign-in and its pages; the browser forgets its cookie and
  // lands on the sign-in page.
  void signOutRequest() {
    if (!postedFromOurPage() || !parser_->is_done())
      return sendText(http::status::forbidden, "sign-out refused: not sent from our page", false);
    for (const auto& token : cookieValues(cookies_, signInCookieName(isTls<Stream>))) {
      const auto user = server_.signIns.remove(token);
      if (!user) continue;
      server_.endSignIn(token);
      if (server_.signIn->record)
        server_.signInPool->post([record = server_.signIn->record, user = *user, address = address_] {
          record(SignInEvent::SignedOut, user, address);
        });
    }
    redirect(server_.entryPath, signInCookie({}, isTls<Stream>));
  }

  // The session named in the request, if it belongs to the request's
  // sign-in: an id copied into another browser is of no use there.
  std::shared_ptr<Session> sessionOf(const Target& t) {
    const auto it = t.query.find("s");
    if (it == t.query.end() || !looksLikeSessionId(it->second)) return nullptr;
    auto session = server_.registry.find(it->second);
    if (session && server_.signIn && !session->belongsTo(signInToken_)) return nullptr;
    return session;
  }

  void newPage() {
    if (!server_.factory || !server_.running) return sendText(http::status::service_unavailable, "no application");
    const auto& req = request();
    Environment env;
    env.setDocRoot(server_.docRoot);
    env.setAppRoot(server_.options.appRoot);
    env.setClientAddress(address_);
    env.setUserAgent(headerText(req[http::field::user_agent]));
    env.setHost(headerText(req[http::field::host]));
    env.setUser(user_);
    std::shared_ptr<Session> session;
    try {
      session = std::make_shared<Session>(newSessionId(), env, server_.pool.get());
    } catch (const std::exception& e) {
      std::cerr << "[web] " << e.what() << std::endl;
      return sendText(http::status::internal_server_error, "cannot make a session");
    }
    session->setPageIcon(server_.pageIcon);
    session->setSignIn(signInToken_);
    server_.signIns.touch(signInToken_, SignInRegistry::Clock::now());
    Server::Impl& server = server_;
    std::weak_ptr<Session> weak = session;
    session->setQuitHandler([&server, weak] {
      if (auto s = weak.lock()) {
        server.registry.remove(s->id());
        server.teardownLater(s);
      }
    });
    // Page loads nobody follows up make room for new ones.
    for (auto& evicted : server_.registry.admit(session, server_.options.limits.sessions))
      server_.teardownLater(std::move(evicted));
    session->start(server_.factory, [self = self(), session](bool ok, std::string page) {
      // On a handler thread: back to this connection's strand to answer.
      net::post(self->strand_, [self, session, ok, page = std::move(page)]() mutable {
        if (!ok) {
          const bool evicted = session->dying();
          self->server_.registry.remove(session->id());
          self->server_.teardownLater(session);
          if (evicted)
            return self->sendUnavailable("Too many pages are loading from " + self->address_ +
                                         ". Try again in a few seconds.");
          return self->sendText(http::status::internal_server_error, "the application could not start");
        }
        // keepAlive_ and head_ still describe this request: nothing more is
        // read from the connection until this answer is sent.
        self->sendPage(http::status::ok, PagePolicy, std::move(page), self->keepAlive_);
      });
    });
  }

  // Asked by a page before it reconnects: a browser does not tell its
  // script why a WebSocket handshake failed.
  void socketProbe(const Target& t) {
    if (!server_.running) return sendUnavailable("The server is stopping.", 2);
    const auto session = sessionOf(t);
    if (!session || session->dying()) return sendText(http::status::not_found, "unknown session");
    if (!server_.limits.wouldAdmit(ConnectionLimits::Kind::Socket, address_))
      return sendText(http::status::service_unavailable, tooManyPages(address_), true, BusyRetrySeconds);
    http::response<http::empty_body> res{http::status::no_content, 11};
    res.set(http::field::cache_control, "no-store");
    res.keep_alive(request().keep_alive());
    send(std::move(res));
  }

  void openSocket(const Target& t) {
    const auto session = sessionOf(t);
    if (!session || session->dying()) return sendText(http::status::not_found, "unknown session", false);
    const auto& req = request();
    // Another site's page must not drive a session: the page that opens the
    // socket must be ours, by scheme, name and port.
    if (!sameOrigin(headerText(req[http::field::origin]), scheme(), headerText(req[http::field::host])))
      return sendText(http::status::forbidden, "origin not allowed", false);
    // Live pages are counted apart from plain HTTP connections.
    auto place = server_.limits.admit(ConnectionLimits::Kind::Socket, address_);
    if (!place) return sendUnavailable(tooManyPages(address_));
    place_.reset();
    upgraded_ = true;
    auto channel = std::make_shared<SocketChannel<Stream>>(std::move(stream_), session, std::move(place));
    channel->accept(parser_->release());
  }

  void upload(const Target& t) {
    const auto& req = request();
    if (req.method() != http::verb::post) return sendText(http::status::method_not_allowed, "POST only", false);
    const auto session = sessionOf(t);
    if (!session) return sendText(http::status::not_found, "unknown session", false);
    const auto w = t.query.find("w");
    if (w == t.query.end() || !session->takeUpload(w->second))
      return sendText(http::status::forbidden, "no upload expected", false);
    widget_ = w->second;
    const auto n = t.query.find("n");
    clientName_ = n == t.query.end() ? std::string() : n->second;
    const auto slash = clientName_.find_last_of("/\\");
    if (slash != std::string::npos) clientName_ = clientName_.substr(slash + 1);
    session_ = session;
    const std::uint64_t limit = server_.options.maxRequestSize;
    const auto length = parser_->content_length();
    if (length && *length > limit) return tooLarge(static_cast<std::int64_t>(*length));

    // Straight into a private spool file, never into memory.
    std::string pattern = server_.spoolDir + "/upload-XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return sendText(http::status::internal_server_error, "cannot spool the upload", false);
    spool_ = pattern;
    beast::file file;
    file.native_handle(fd);
    fileParser_.emplace(std::move(*parser_));
    fileParser_->body_limit(limit);
    beast::error_code ec;
    fileParser_->get().body().reset(std::move(file), ec);
    if (ec) return sendText(http::status::internal_server_error, "cannot spool the upload", false);
    readUpload();
  }

  void readUpload() {
    lowest().expires_after(UploadIdleTimeout);
    http::async_read_some(stream_, buffer_, *fileParser_, [self = self()](beast::error_code ec, std::size_t) {
      if (ec == http::error::body_limit) return self->tooLarge(-1);
      if (ec) {
        if (!self->spool_.empty()) ::unlink(self->spool_.c_str());
        self->spool_.clear();
        return self->closeSocket();
      }
      if (!self->fileParser_->is_done()) return self->readUpload();
      self->fileParser_->get().body().close();
      struct stat st;
      const std::uint64_t size = ::stat(self->spool_.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
      const std::string spool = std::move(self->spool_);
      self->spool_.clear();
      self->session_->uploadDone(self->widget_, spool, self->clientName_, static_cast<std::int64_t>(size));
      self->session_.reset();
      self->sendText(http::status::ok, "uploaded", false);
    });
  }

  void tooLarge(std::int64_t size) {
    if (!spool_.empty()) ::unlink(spool_.c_str());
    spool_.clear();
    session_->uploadTooLarge(widget_, size);
    session_.reset();
    // The rest of the body is not read: the connection ends with the answer.
    sendText(http::status::payload_too_large, "request too large", false);
  }

  void download(const Target& t) {
    const auto session = sessionOf(t);
    if (!session) return sendText(http::status::not_found, "unknown session");
    const auto r = t.query.find("r");
    const auto d = r == t.query.end() ? std::nullopt : session->download(r->second);
    if (!d) return sendText(http::status::not_found, "unknown resource");
    serveFile(d->path, d->mimeType, contentDisposition(d->fileName), "no-store");
  }

  void clientFile(const std::string& path) {
    const ClientAsset* asset = findClientAsset(std::string_view(path).substr(std::strlen(route::Prefix)));
    if (!asset) return sendText(http::status::not_found, "not found");
    http::response<http::string_body> res{http::status::ok, 11};
    std::string type(asset->mimeType);
    if (type.compare(0, 5, "text/") == 0) type += "; charset=utf-8";
    res.set(http::field::content_type, type);
    res.set(http::field::cache_control, "no-cache");
    res.keep_alive(request().keep_alive());
    if (request().method() != http::verb::head) res.body() = std::string(asset->content);
    res.prepare_payload();
    if (request().method() == http::verb::head) res.content_length(asset->content.size());
    send(std::move(res));
  }

  void staticFile(const std::string& path) {
    const auto file = resolveStaticFile(server_.docRoot, path);
    if (!file) return sendText(http::status::not_found, "not found");
    serveFile(*file, mimeType(*file), {}, "no-cache");
  }

  void serveFile(const std::string& path, const std::string& type, const std::string& disposition,
                 const char* cache) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return sendText(http::status::not_found, "not found");
    beast::file file;
    file.native_handle(fd);
    beast::error_code ec;
    const std::uint64_t size = file.size(ec);
    if (ec) return sendText(http::status::internal_server_error, "cannot read the file");
    const bool head = request().method() == http::verb::head;
    const auto prepare = [&](auto& res) {
      res.set(http::field::content_type, type);
      res.set(http::field::cache_control, cache);
      if (isDocument(type)) res.set("Content-Security-Policy", DocumentPolicy);
      if (!disposition.empty()) res.set(http::field::content_disposition, disposition);
      res.keep_alive(request().keep_alive());
    };
    if (head) {
      http::response<http::empty_body> res{http::status::ok, 11};
      prepare(res);
      res.content_length(size);
      return send(std::move(res));
    }
    if (size <= InMemoryFileSize) {
      // Small files (the page's style and pictures) are read at once, so a
      // slow reader holds no descriptor but its socket.
      http::response<http::string_body> res{http::status::ok, 11};
      prepare(res);
      std::string& body = res.body();
      body.resize(static_cast<std::size_t>(size));
      std::size_t got = 0;
      while (got < body.size() && !ec) {
        const std::size_t n = file.read(body.data() + got, body.size() - got, ec);
        if (n == 0) break;
        got += n;
      }
      if (ec || got != body.size()) return sendText(http::status::internal_server_error, "cannot read the file");
      file.close(ec);
      res.prepare_payload();
      return send(std::move(res));
    }
    http::file_body::value_type body;
    body.reset(std::move(file), ec);
    if (ec) return sendText(http::status::internal_server_error, "cannot read the file");
    http::response<http::file_body> res{std::piecewise_construct, std::make_tuple(std::move(body)),
                                        std::make_tuple(http::status::ok, 11)};
    prepare(res);
    res.content_length(size);
    send(std::move(res));
  }

  // After an answer that ends the connection: what the client still sends
  // (a body we did not want, the rest of a bad request) is read and dropped
  // for a moment, so that closing does not reset the connection before the
  // client has read the answer.
  void lingeringClose() {
    beast::error_code ec;
    lowest().socket().shutdown(tcp::socket::shutdown_send, ec);
    if (ec) return closeSocket();
    lowest().expires_after(LingerTimeout);
    drain(0);
  }

  void drain(std::size_t drained) {
    buffer_.consume(buffer_.size());
    stream_.async_read_some(buffer_.prepare(16384),
                            [self = self(), drained](beast::error_code ec, std::size_t n) {
                              if (ec || drained + n > MaxLingerBytes) return self->closeSocket();
                              self->drain(drained + n);
                            });
  }

  void closeSocket() {
    if (upgraded_) return;  // the socket belongs to a WebSocket now
    beast::error_code ec;
    lowest().socket().shutdown(tcp::socket::shutdown_send, ec);
    lowest().socket().close(ec);
  }

  const net::any_io_executor strand_;  // this connection's, kept past an upgrade
  Stream stream_;
  Server::Impl& server_;
  net::steady_timer timer_;  // a sign-in's back-off
  std::string address_;
  // Of the request being answered.
  bool keepAlive_ = false, head_ = false;
  std::string cookies_, signInToken_, user_;
  std::unique_ptr<ConnectionLimits::Place> place_;
  bool refusing_ = false;
  bool upgraded_ = false;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::empty_body>> parser_;
  std::optional<http::request_parser<http::file_body>> fileParser_;
  std::optional<http::request_parser<http::string_body>> formParser_;
  std::shared_ptr<Session> session_;
  std::string widget_, clientName_, spool_;
};

}  // namespace

Server::Impl::~Impl() {
  listeners.clear();
  reaper.reset();
  ioc.reset();  // pending handlers (connections) go while the rest is alive
  signInPool.reset();
  pool.reset();
}

void Server::Impl::listen(bool secure, const std::string& address, unsigned short port) {
  const char* const option = secure ? "--https-address" : "--http-address";
  beast::error_code ec;
  const auto ip = net::ip::make_address(address, ec);
  if (ec) throw ServerError(std::string(option) + ": '" + address + "' is not an address");
  const tcp::endpoint endpoint(ip, port);
  Listener l;
  l.tls = secure;
  l.acceptor = std::make_unique<tcp::acceptor>(*ioc);
  openCloseOnExec(*l.acceptor, endpoint.protocol(), ec);
  if (!ec) l.acceptor->set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) l.acceptor->bind(endpoint, ec);
  if (!ec) l.acceptor->listen(net::socket_base::max_listen_connections, ec);
  if (ec) throw ServerError("cannot listen on " + address + ":" + std::to_string(port) + ": " + ec.message());
  l.port = l.acceptor->local_endpoint().port();
  l.pause = std::make_unique<net::steady_timer>(*ioc);
  listeners.push_back(std::move(l));
}

// TLS 1.2 or newer, no renegotiation, the server's choice of cipher.
void Server::Impl::makeTlsContext() {
  const auto& security = options.security;
  if (security.certificate.empty())
    throw ServerError("HTTPS needs a certificate and its key: set --ssl-certificate and --ssl-private-key");
  tls = std::make_unique<net::ssl::context>(net::ssl::context::tls_server);
  tls->set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                   net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1 | net::ssl::context::no_tlsv1_1 |
                   net::ssl::context::no_compression | net::ssl::context::single_dh_use);
  SSL_CTX* const ctx = tls->native_handle();
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1) throw ServerError("cannot require TLS 1.2");
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  beast::error_code ec;
  tls->use_certificate_chain_file(security.certificate, ec);
  if (ec) throw ServerError("--ssl-certificate: cannot use " + security.certificate + ": " + ec.message());
  tls->use_private_key_file(security.privateKey, net::ssl::context::pem, ec);
  if (ec) throw ServerError("--ssl-private-key: cannot use " + security.privateKey + ": " + ec.message());
  if (SSL_CTX_check_private_key(ctx) != 1)
    throw ServerError("--ssl-private-key: " + security.privateKey + " is not the key of " + security.certificate);
}

void Server::Impl::startAccept(Listener& listener) {
  listener.acceptor->async_accept(net::make_strand(*ioc), [this, &listener](beast::error_code ec, tcp::socket socket) {
    if (!running) return;
    if (ec) {
      // Out of descriptors (the process may run with a low limit): accepting
      // again at once would spin; wait for connections to end.
      listener.pause->expires_after(std::chrono::milliseconds(100));
      listener.pause->async_wait([this, &listener](beast::error_code e) {
        if (!e && running) startAccept(listener);
      });
      return;
    }
    setCloseOnExec(socket.native_handle());
    if (listener.tls)
      accepted<TlsStream>(std::move(socket));
    else
      accepted<PlainStream>(std::move(socket));
    startAccept(listener);
  });
}

template <class Stream>
void Server::Impl::accepted(tcp::socket socket) {
  const auto connection = std::make_shared<HttpConnection<Stream>>(std::move(socket), *this);
  if (auto place = limits.admit(ConnectionLimits::Kind::Http, connection->address()))
    connection->run(std::move(place));
  else
    connection->refuse();
}

void Server::Impl::startReaper() {
  const auto period = std::clamp(options.limits.reconnectGrace / 4, std::chrono::milliseconds(50),
                                 std::chrono::milliseconds(1000));
  reaper->expires_after(period);
  reaper->async_wait([this](beast::error_code ec) {
    if (ec || !running) return;
    reap();
    startReaper();
  });
}

void Server::Impl::reap() {
  const auto now = Session::Clock::now();
  for (auto& s : registry.takeExpired(now, options.limits.reconnectGrace)) teardownLater(std::move(s));
  if (signIn) {
    // A sign-in lasts while a page of it is open, and the idle time after.
    for (const auto& token : signIns.takeIdle(now, options.security.idleTimeout, registry.connectedSignIns()))
      endSignIn(token);
    backOff.forget(now);
  }
  // Once per round at most, after the sessions that ended in it.
  if (trimWanted.exchange(false)) pool->post(releaseFreedMemory);
}

void Server::Impl::teardownLater(std::shared_ptr<Session> s) {
  s->beginTeardown();
  // Teardown waits for a running handler: never on a socket thread.
  pool->post([this, s] {
    s->teardown();
    trimWanted = true;
  });
}

void Server::Impl::endSignIn(const std::string& token) {
  for (auto& s : registry.takeSignedIn(token)) teardownLater(std::move(s));
}

void Server::Impl::checkDescriptorBudget() const {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
  const ConnectionCaps& caps = options.limits.connections;
  const std::size_t needed = caps.connections + caps.sockets + MaxRefusals + OtherDescriptors;
  if (needed > limit.rlim_cur)
    std::cerr << "[web] warning: " << caps.connections << " connections, " << caps.sockets << " WebSockets and "
              << MaxRefusals << " refusals need about " << needed << " descriptors; the process may open "
              << limit.rlim_cur << std::endl;
}

Server::Server(const std::string& applicationPath) : impl_(std::make_unique<Impl>(applicationPath)) {}

Server::~Server() { stop(); }

void Server::setServerConfiguration(int argc, char** argv, const std::string& optionsFile) {
  impl_->options = parseServerOptions(argc, argv, optionsFile);
}

void Server::setOptions(const ServerOptions& options) { impl_->options = options; }
const ServerOptions& Server::options() const { return impl_->options; }

void Server::addEntryPoint(ApplicationFactory factory, const std::string& path, const std::string& favicon) {
  impl_->factory = std::move(factory);
  impl_->entryPath = path.empty() ? "/" : (path[0] == '/' ? path : "/" + path);
  impl_->pageIcon = favicon;
}

void Server::requireSignIn(SignIn signIn) {
  if (!signIn.check) throw ServerError("a sign-in needs a way to check passwords");
  impl_->signIn = std::move(signIn);
}

void Server::setReconnectGrace(std::chrono::milliseconds grace) { impl_->options.limits.reconnectGrace = grace; }

void Server::setMaxConnections(std::size_t count) {
  impl_->options.limits.connections.connections = count;
  impl_->limits.setCaps(impl_->options.limits.connections);
}

bool Server::start() {
  Impl& s = *impl_;
  if (s.running) return true;
  const ServerOptions& o = s.options;
  if (o.httpAddress.empty() && o.security.httpsAddress.empty())
    throw ServerError("nothing to listen on: set --https-address (or --http-address for plain HTTP on loopback)");
  if (!o.httpAddress.empty() && !isLoopback(o.httpAddress)) {
    if (!o.security.allowPlainHttp)
      throw ServerError("plain HTTP on " + o.httpAddress +
                        " would carry passwords unencrypted: use --https-address, a loopback --http-address, "
                        "or --allow-plain-http");
    std::cerr << "[web] warning: plain HTTP on " << o.httpAddress << ":" << o.httpPort
              << " (--allow-plain-http): passwords and pages cross the network unencrypted" << std::endl;
  }
  std::unique_ptr<char, decltype(&std::free)> root(::realpath(o.docRoot.c_str(), nullptr), &std::free);
  if (!root) throw ServerError("document root " + o.docRoot + " not found");
  s.docRoot = root.get();
  if (s.docRoot.size() > 1 && s.docRoot.back() == '/') s.docRoot.pop_back();
  s.allowedHosts = o.security.allowedHosts.empty() ? machineHostNames() : o.security.allowedHosts;
  if (!o.security.httpsAddress.empty()) s.makeTlsContext();

  s.ioc = std::make_unique<net::io_context>(static_cast<int>(o.threads));
  s.listeners.clear();
  if (!o.httpAddress.empty()) s.listen(false, o.httpAddress, o.httpPort);
  if (!o.security.httpsAddress.empty()) s.listen(true, o.security.httpsAddress, o.security.httpsPort);

  const char* tmp = std::getenv("TMPDIR");
  std::string spool = std::string(tmp && *tmp ? tmp : "/tmp") + "/trlweb-XXXXXX";
  if (!::mkdtemp(spool.data())) throw ServerError("cannot make a spool directory in " + spool);
  s.spoolDir = spool;  // mode 0700: uploads are private to this process

  s.pool = std::make_unique<HandlerPool>(std::max(2u, o.threads));
  s.signInPool = std::make_unique<HandlerPool>(2, 2);
  s.limits.setCaps(o.limits.connections);
  s.checkDescriptorBudget();
  s.reaper = std::make_unique<net::steady_timer>(*s.ioc);
  s.running = true;
  for (auto& listener : s.listeners) s.startAccept(listener);
  s.startReaper();
  for (unsigned i = 0; i < o.threads; ++i) s.threads.emplace_back([&s] { s.ioc->run(); });
  return true;
}

void Server::stop() {
  Impl& s = *impl_;
  if (!s.running.exchange(false)) return;
  net::post(*s.ioc, [&s] {
    beast::error_code ec;
    for (auto& l : s.listeners) {
      l.acceptor->close(ec);
      l.pause->cancel();
    }
    s.reaper->cancel();
  });
  // Every session ends here, on this thread; waits in handlers return.
  auto sessions = s.registry.takeAll();
  for (auto& session : sessions) session->beginTeardown();
  for (auto& session : sessions) session->teardown();
  sessions.clear();
  s.pool->stop();
  s.signInPool->stop();
  s.ioc->stop();
  for (auto& t : s.threads) t.join();
  s.threads.clear();
  std::error_code fsError;
  std::filesystem::remove_all(s.spoolDir, fsError);
}

bool Server::isRunning() const { return impl_->running; }

unsigned short Server::httpPort() const {
  for (const auto& l : impl_->listeners)
    if (!l.tls) return l.port;
  return 0;
}

unsigned short Server::httpsPort() const {
  for (const auto& l : impl_->listeners)
    if (l.tls) return l.port;
  return 0;
}

std::size_t Server::sessionCount() const { return impl_->registry.size(); }

}  // namespace web
