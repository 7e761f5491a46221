// The only file that compiles Boost.Beast and Boost.Asio (about 30 s and
// 1 GB of compiler memory): socket threads do I/O only; everything that
// touches an application goes to its session (see session.h).
#include "web/server.h"

#include <boost/asio/impl/src.hpp>
#include <boost/beast/src.hpp>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

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
#include <vector>

#include "web/client_assets.h"
#include "web/connection_limits.h"
#include "web/handler_pool.h"
#include "web/page.h"
#include "web/protocol.h"
#include "web/session_id.h"
#include "web/session_registry.h"
#include "web/static_files.h"
#include "web/url.h"

namespace web {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

namespace {

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

const char* const PagePolicy =
    "default-src 'self'; script-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:; "
    "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'";
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

bool equalNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// A browser opening our page's WebSocket says where the page came from;
// another site's page must not drive a session.
bool sameOrigin(const std::string& origin, const std::string& host) {
  if (host.empty()) return false;
  return equalNoCase(origin, "http://" + host) || equalNoCase(origin, "https://" + host);
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

  void startAccept();
  void startReaper();
  void reap();
  void teardownLater(std::shared_ptr<Session> s);
  void checkDescriptorBudget() const;

  std::string applicationPath;
  ServerOptions options;
  ApplicationFactory factory;
  std::string entryPath = "/";
  std::string pageIcon;
  std::string docRoot;  // canonical
  std::string spoolDir;
  std::atomic<bool> running{false};
  std::atomic<bool> trimWanted{false};
  std::atomic<std::size_t> refusals{0};
  unsigned short port = 0;

  ConnectionLimits limits;  // outlives the connections (destroyed with ioc)
  SessionRegistry registry;
  std::unique_ptr<HandlerPool> pool;
  std::unique_ptr<net::io_context> ioc;
  std::unique_ptr<tcp::acceptor> acceptor;
  std::unique_ptr<net::steady_timer> reaper;
  std::unique_ptr<net::steady_timer> acceptPause;
  std::vector<std::thread> threads;
};

namespace {

// One WebSocket: the channel of one session to its page.
class SocketChannel : public Channel, public std::enable_shared_from_this<SocketChannel> {
 public:
  SocketChannel(beast::tcp_stream&& stream, std::shared_ptr<Session> session,
                std::unique_ptr<ConnectionLimits::Place> place)
      : ws_(std::move(stream)), session_(std::move(session)), place_(std::move(place)),
        order_(session_->reserveConnection()) {}

  void accept(http::request<http::empty_body> req) {
    // Losing the place to a fairer share drops the socket at once (a peer
    // that never answers a closing handshake must not keep its descriptor);
    // the page then asks before it comes back.
    if (!place_->onEvict([weak = weak_from_this()] {
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
    ws_.async_accept(req, [self = shared_from_this()](beast::error_code ec) {
      if (ec) return;
      self->session_->connect(self, self->order_);
      self->read();
    });
  }

  void send(std::string message) override {
    net::post(ws_.get_executor(), [self = shared_from_this(), m = std::move(message)]() mutable {
      self->enqueue(std::move(m));
    });
  }

  void close() override {
    net::post(ws_.get_executor(), [self = shared_from_this()] {
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
    ws_.async_read(in_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
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
    ws_.async_write(net::buffer(queue_.front()), [self = shared_from_this()](beast::error_code ec, std::size_t) {
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

  websocket::stream<beast::tcp_stream> ws_;
  std::shared_ptr<Session> session_;
  const std::unique_ptr<ConnectionLimits::Place> place_;
  const std::uint64_t order_;
  beast::flat_buffer in_;
  std::deque<std::string> queue_;
  std::size_t queuedBytes_ = 0;
  bool writing_ = false;
  bool closed_ = false;
};

// One HTTP connection: requests one after another (keep-alive).
class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
 public:
  HttpConnection(tcp::socket&& socket, Server::Impl& server)
      : strand_(socket.get_executor()), stream_(std::move(socket)), server_(server) {
    beast::error_code ec;
    const auto remote = stream_.socket().remote_endpoint(ec);
    if (!ec) address_ = remote.address().to_string();
  }
  ~HttpConnection() {
    if (refusing_) --server_.refusals;
    if (!spool_.empty()) ::unlink(spool_.c_str());
  }

  const std::string& address() const { return address_; }

  void run(std::unique_ptr<ConnectionLimits::Place> place) {
    place_ = std::move(place);
    net::dispatch(strand_, [self = shared_from_this()] {
      // Losing the place: closed, unless the socket has become a WebSocket.
      if (!self->place_->onEvict([weak = self->weak_from_this()] {
            if (auto c = weak.lock()) net::post(c->strand_, [c] { c->closeSocket(); });
          }))
        return self->closeSocket();
      self->readHeader();
    });
  }

  // No place for this connection: a short answer that says so, then closed.
  void refuse() {
    if (server_.refusals.fetch_add(1) >= MaxRefusals) {
      --server_.refusals;
      return net::dispatch(strand_, [self = shared_from_this()] { self->closeSocket(); });
    }
    refusing_ = true;
    net::dispatch(strand_, [self = shared_from_this()] {
      self->sendUnavailable("The server is busy: too many connections. Try again in a few seconds.");
    });
  }

 private:
  void readHeader() {
    parser_.emplace();
    parser_->header_limit(MaxHeaderSize);
    // Limits are checked per route once the header is known (an upload too
    // large must still reach its widget's size signal).
    parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
    stream_.expires_after(ReadTimeout);
    place_->setIdle(true);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](beast::error_code ec, std::size_t) {
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
    res.set("Referrer-Policy", "no-referrer");
    const auto sp = std::make_shared<http::response<Body>>(std::move(res));
    stream_.expires_after(ReadTimeout);
    http::async_write(stream_, *sp, [self = shared_from_this(), sp](beast::error_code ec, std::size_t) {
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
    res.keep_alive(keepAlive && request().keep_alive());
    res.prepare_payload();
    send(std::move(res));
  }

  void sendUnavailable(const std::string& text, int retryAfter = BusyRetrySeconds) {
    sendText(http::status::service_unavailable, text, false, retryAfter);
  }

  const http::request<http::empty_body>& request() const { return parser_->get(); }

  void route() {
    const auto& req = request();
    const auto target = parseTarget(std::string_view(req.target().data(), req.target().size()));
    if (!target) return sendText(http::status::bad_request, "malformed request target", false);
    const std::string& path = target->path;
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

  std::shared_ptr<Session> sessionOf(const Target& t) {
    const auto it = t.query.find("s");
    if (it == t.query.end() || !looksLikeSessionId(it->second)) return nullptr;
    return server_.registry.find(it->second);
  }

  void newPage() {
    if (!server_.factory || !server_.running) return sendText(http::status::service_unavailable, "no application");
    const auto& req = request();
    Environment env;
    env.setDocRoot(server_.docRoot);
    env.setAppRoot(server_.options.appRoot);
    beast::error_code ec;
    const auto remote = stream_.socket().remote_endpoint(ec);
    if (!ec) env.setClientAddress(remote.address().to_string());
    env.setUserAgent(headerText(req[http::field::user_agent]));
    env.setHost(headerText(req[http::field::host]));
    std::shared_ptr<Session> session;
    try {
      session = std::make_shared<Session>(newSessionId(), env, server_.pool.get());
    } catch (const std::exception& e) {
      std::cerr << "[web] " << e.what() << std::endl;
      return sendText(http::status::internal_server_error, "cannot make a session");
    }
    session->setPageIcon(server_.pageIcon);
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
    const bool head = req.method() == http::verb::head;
    const bool keepAlive = req.keep_alive();
    session->start(server_.factory, [self = shared_from_this(), session, head, keepAlive](bool ok, std::string page) {
      // On a handler thread: back to this connection's strand to answer.
      net::post(self->stream_.get_executor(), [self, session, ok, head, keepAlive, page = std::move(page)]() mutable {
        if (!ok) {
          const bool evicted = session->dying();
          self->server_.registry.remove(session->id());
          self->server_.teardownLater(session);
          if (evicted)
            return self->sendUnavailable("Too many pages are loading from " + self->address_ +
                                         ". Try again in a few seconds.");
          return self->sendText(http::status::internal_server_error, "the application could not start");
        }
        http::response<http::string_body> res{http::status::ok, 11};
        res.set(http::field::content_type, "text/html; charset=utf-8");
        res.set(http::field::cache_control, "no-store");
        res.set("Content-Security-Policy", PagePolicy);
        res.set("X-Frame-Options", "DENY");
        res.keep_alive(keepAlive);
        const std::size_t size = page.size();
        if (!head) res.body() = std::move(page);
        res.prepare_payload();
        if (head) res.content_length(size);
        self->send(std::move(res));
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
    if (!sameOrigin(headerText(req[http::field::origin]), headerText(req[http::field::host])))
      return sendText(http::status::forbidden, "origin not allowed", false);
    // Live pages are counted apart from plain HTTP connections.
    auto place = server_.limits.admit(ConnectionLimits::Kind::Socket, address_);
    if (!place) return sendUnavailable(tooManyPages(address_));
    place_.reset();
    upgraded_ = true;
    auto channel = std::make_shared<SocketChannel>(std::move(stream_), session, std::move(place));
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
    stream_.expires_after(UploadIdleTimeout);
    http::async_read_some(stream_, buffer_, *fileParser_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
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
    stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
    if (ec) return closeSocket();
    stream_.expires_after(LingerTimeout);
    drain(0);
  }

  void drain(std::size_t drained) {
    buffer_.consume(buffer_.size());
    stream_.async_read_some(buffer_.prepare(16384),
                            [self = shared_from_this(), drained](beast::error_code ec, std::size_t n) {
                              if (ec || drained + n > MaxLingerBytes) return self->closeSocket();
                              self->drain(drained + n);
                            });
  }

  void closeSocket() {
    if (upgraded_) return;  // the socket belongs to a WebSocket now
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
    stream_.socket().close(ec);
  }

  const net::any_io_executor strand_;  // this connection's, kept past an upgrade
  beast::tcp_stream stream_;
  Server::Impl& server_;
  std::string address_;
  std::unique_ptr<ConnectionLimits::Place> place_;
  bool refusing_ = false;
  bool upgraded_ = false;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::empty_body>> parser_;
  std::optional<http::request_parser<http::file_body>> fileParser_;
  std::shared_ptr<Session> session_;
  std::string widget_, clientName_, spool_;
};

}  // namespace

Server::Impl::~Impl() {
  acceptor.reset();
  reaper.reset();
  acceptPause.reset();
  ioc.reset();  // pending handlers (connections) go while the rest is alive
  pool.reset();
}

void Server::Impl::startAccept() {
  acceptor->async_accept(net::make_strand(*ioc), [this](beast::error_code ec, tcp::socket socket) {
    if (!running) return;
    if (ec) {
      // Out of descriptors (the process may run with a low limit): accepting
      // again at once would spin; wait for connections to end.
      acceptPause->expires_after(std::chrono::milliseconds(100));
      acceptPause->async_wait([this](beast::error_code e) {
        if (!e && running) startAccept();
      });
      return;
    }
    setCloseOnExec(socket.native_handle());
    const auto connection = std::make_shared<HttpConnection>(std::move(socket), *this);
    if (auto place = limits.admit(ConnectionLimits::Kind::Http, connection->address()))
      connection->run(std::move(place));
    else
      connection->refuse();
    startAccept();
  });
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
  for (auto& s : registry.takeExpired(Session::Clock::now(), options.limits.reconnectGrace))
    teardownLater(std::move(s));
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

void Server::setReconnectGrace(std::chrono::milliseconds grace) { impl_->options.limits.reconnectGrace = grace; }

void Server::setMaxConnections(std::size_t count) {
  impl_->options.limits.connections.connections = count;
  impl_->limits.setCaps(impl_->options.limits.connections);
}

bool Server::start() {
  Impl& s = *impl_;
  if (s.running) return true;
  std::unique_ptr<char, decltype(&std::free)> root(::realpath(s.options.docRoot.c_str(), nullptr), &std::free);
  if (!root) throw ServerError("document root " + s.options.docRoot + " not found");
  s.docRoot = root.get();
  if (s.docRoot.size() > 1 && s.docRoot.back() == '/') s.docRoot.pop_back();

  const char* tmp = std::getenv("TMPDIR");
  std::string spool = std::string(tmp && *tmp ? tmp : "/tmp") + "/trlweb-XXXXXX";
  if (!::mkdtemp(spool.data())) throw ServerError("cannot make a spool directory in " + spool);
  s.spoolDir = spool;  // mode 0700: uploads are private to this process

  s.ioc = std::make_unique<net::io_context>(static_cast<int>(s.options.threads));
  s.pool = std::make_unique<HandlerPool>(std::max(2u, s.options.threads));
  beast::error_code ec;
  const auto address = net::ip::make_address(s.options.httpAddress, ec);
  if (ec) throw ServerError("--http-address: '" + s.options.httpAddress + "' is not an address");
  const tcp::endpoint endpoint(address, s.options.httpPort);
  s.acceptor = std::make_unique<tcp::acceptor>(*s.ioc);
  openCloseOnExec(*s.acceptor, endpoint.protocol(), ec);
  if (!ec) s.acceptor->set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) s.acceptor->bind(endpoint, ec);
  if (!ec) s.acceptor->listen(net::socket_base::max_listen_connections, ec);
  if (ec)
    throw ServerError("cannot listen on " + s.options.httpAddress + ":" + std::to_string(s.options.httpPort) +
                      ": " + ec.message());
  s.port = s.acceptor->local_endpoint().port();
  s.limits.setCaps(s.options.limits.connections);
  s.checkDescriptorBudget();
  s.reaper = std::make_unique<net::steady_timer>(*s.ioc);
  s.acceptPause = std::make_unique<net::steady_timer>(*s.ioc);
  s.running = true;
  s.startAccept();
  s.startReaper();
  for (unsigned i = 0; i < s.options.threads; ++i) s.threads.emplace_back([&s] { s.ioc->run(); });
  return true;
}

void Server::stop() {
  Impl& s = *impl_;
  if (!s.running.exchange(false)) return;
  net::post(*s.ioc, [&s] {
    beast::error_code ec;
    s.acceptor->close(ec);
    s.reaper->cancel();
    s.acceptPause->cancel();
  });
  // Every session ends here, on this thread; waits in handlers return.
  auto sessions = s.registry.takeAll();
  for (auto& session : sessions) session->beginTeardown();
  for (auto& session : sessions) session->teardown();
  sessions.clear();
  s.pool->stop();
  s.ioc->stop();
  for (auto& t : s.threads) t.join();
  s.threads.clear();
  std::error_code fsError;
  std::filesystem::remove_all(s.spoolDir, fsError);
}

bool Server::isRunning() const { return impl_->running; }
unsigned short Server::httpPort() const { return impl_->port; }
std::size_t Server::sessionCount() const { return impl_->registry.size(); }

}  // namespace web
