// The demo server: starts on the given options (and --sign-in USER:PASSWORD
// to let only that account in), prints "listening PORT",
// then obeys lines on standard input, as the real application's main loop
// obeys its back-end events:
//   push TEXT   every session shows TEXT (UpdateLock + triggerUpdate)
//   count       prints "sessions N"
//   quit        stops the server
#include <boost/program_options.hpp>
#include <iostream>
#include <string>

#include "tests/web/demo/demo_app.h"
#include "web/server.h"
#include "web/server_options.h"

namespace po = boost::program_options;

int main(int argc, char** argv) {
  std::cout.setf(std::ios::unitbuf);
  try {
    // The server's options and the demo's own, parsed once.
    po::options_description options = web::serverOptionsDescription();
    options.add_options()("sign-in", po::value<std::string>()->value_name("USER:PASSWORD"),
                          "the one account that may sign in");
    po::variables_map values;
    po::store(po::command_line_parser(argc, argv).options(options).run(), values);
    po::notify(values);
    web::Server server(argv[0]);
    server.setOptions(web::serverOptionsFrom(values));
    server.setReconnectGrace(std::chrono::seconds(3));
    if (values.count("sign-in")) {
      const std::string account = values["sign-in"].as<std::string>();
      if (account.find(':') == std::string::npos) throw std::runtime_error("--sign-in: USER:PASSWORD expected");
      web::SignIn signIn;
      signIn.title = "Web demo";
      signIn.check = [account](const std::string& user, const std::string& password, const std::string&) {
        return user + ":" + password == account;
      };
      server.requireSignIn(signIn);
    }
    server.addEntryPoint([](const web::Environment& env) {
      auto app = std::make_unique<demo::DemoApp>(env);
      app->enableUpdates(true);
      return app;
    });
    server.start();
    std::cout << "listening " << server.httpPort() << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
      if (line.rfind("push ", 0) == 0) {
        const std::string text = line.substr(5);
        std::lock_guard<std::mutex> lk(demo::DemoApp::listMutex);
        for (demo::DemoApp* app : demo::DemoApp::list) {
          web::Application::UpdateLock lock(app);
          if (!lock) continue;  // that session is going away
          app->push(text);
          app->triggerUpdate();
        }
        std::cout << "pushed" << std::endl;
      } else if (line == "count") {
        std::lock_guard<std::mutex> lk(demo::DemoApp::listMutex);
        std::cout << "sessions " << demo::DemoApp::list.size() << std::endl;
      } else if (line == "quit") {
        break;
      }
    }
    server.stop();
    std::cout << "stopped" << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "demo: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
