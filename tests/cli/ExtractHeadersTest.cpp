// Where the headers given with -H go when a page redirects, as two servers on this machine
// see them: what libcurl does, and what the README says.
#include <gtest/gtest.h>

#include <map>
#include <mutex>

#include "InProcess.h"
#include "Isolation.h"
#include "LoopbackServer.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

// The probe headers each server saw, by its port and the request's path and query.
class Recorder {
 public:
  void Serve(LoopbackServer& server) {
    const int port = server.Port();
    server.Route("/go", [this, port](const LoopbackServer::Request& request, auto& c) {
      Note(port, request);
      c.Respond(302, "", "Location: " + request.path.substr(request.path.find("to=") + 3) + "\r\n");
    });
    server.Route("/end", [this, port](const LoopbackServer::Request& request, auto& c) {
      Note(port, request);
      c.Respond(200, "<title>end</title>");
    });
  }
  std::string Seen(int port, const std::string& path) {
    std::lock_guard lock(mutex_);
    return seen_[std::to_string(port) + path];
  }

 private:
  void Note(int port, const LoopbackServer::Request& request) {
    std::string probes;
    for (const char* name : {"authorization", "cookie", "x-api-key", "proxy-authorization"}) {
      if (request.headers.count(name)) probes += std::string(probes.empty() ? "" : " ") + name;
    }
    std::lock_guard lock(mutex_);
    seen_[std::to_string(port) + request.path] = probes;
  }
  std::mutex mutex_;
  std::map<std::string, std::string> seen_;
};

// Every custom header goes to every host of a redirect chain, except Authorization and
// Cookie, which go only while the chain is at the first address's host name and port.
// Run where no name can be looked up off this machine ("localhost" is the other name).
TEST(ExtractHeaders, FollowARedirectToAnotherHostExceptAuthorizationAndCookie) {
  const int status = RunInIsolatedNetwork([] {
    if (!BringUpLoopback()) return 3;
    LoopbackServer first, second;
    Recorder seen;
    seen.Serve(first);
    seen.Serve(second);
    const std::string a = "http://127.0.0.1:" + std::to_string(first.Port());
    const std::string b_port = std::to_string(second.Port());
    const std::string b = "http://localhost:" + b_port;
    const std::string list = a + "/go?to=/end?same\n" +                                 //
                             a + "/go?to=http://127.0.0.1:" + b_port + "/end?port\n" +  //
                             a + "/go?to=http://localhost:" + std::to_string(first.Port()) +
                             "/end?name\n" +  //
                             a + "/go?to=" + b + "/go?to=" + a + "/end?back\n";
    const auto r =
        RunInProcess({"-q", "-j", "1", "-H", "Authorization: Bearer k", "-H", "Cookie: c=1", "-H",
                      "X-Api-Key: k", "-H", "Proxy-Authorization: Basic x"},
                     list);
    const std::string all = "authorization cookie x-api-key proxy-authorization";
    const std::string custom = "x-api-key proxy-authorization";
    int failures = r.status == 0 ? 0 : 1;
    const auto expect = [&](int port, const std::string& path, const std::string& wanted) {
      const std::string got = seen.Seen(port, path);
      if (got != wanted) {
        ADD_FAILURE() << port << path << ": " << got << " (wanted " << wanted << ")";
        ++failures;
      }
    };
    expect(first.Port(), "/go?to=/end?same", all);
    expect(first.Port(), "/end?same", all);
    expect(second.Port(), "/end?port", custom);  // another port of the same host name
    expect(first.Port(), "/end?name", custom);   // another name of the same host and port
    expect(second.Port(), "/go?to=" + a + "/end?back", custom);
    expect(first.Port(), "/end?back", all);  // back at the first host and port
    return failures == 0 ? 0 : 1;
  });
  if (status < 0) GTEST_SKIP() << "no network namespace can be made here";
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace orvanel
