// The HTTP client against a real web server (Debian's lighttpd), started here on the test's own
// loopback address with a configuration of its own in a temporary directory.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "net/IdHTTP.h"
#include "net/IdSocketHandle.h"
#include "tests/support/TzGuard.h"
#include "tests/support/Loopback.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

namespace {

namespace fs = std::filesystem;

const char* kLighttpd = "/usr/sbin/lighttpd";

// A lighttpd serving one directory on ip:port; stopped and its files removed with the object.
class Lighttpd {
 public:
  Lighttpd(const std::string& ip, int port, const std::string& lastModified)
      : ip_(ip), port_(port), lastModified_(lastModified), dir_(files_.Path()) {
    fs::create_directories(dir_ + "/www/download");
  }
  ~Lighttpd() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      // Bounded: a server that does not stop in time is killed.
      if (!support::WaitUntil([&] { return Exited(); })) {
        ::kill(pid_, SIGKILL);
        int status;
        ::waitpid(pid_, &status, 0);
      }
    }
  }
  Lighttpd(const Lighttpd&) = delete;
  Lighttpd& operator=(const Lighttpd&) = delete;

  std::string Www() const { return dir_ + "/www"; }

  // Starts the server and waits (bounded) until it accepts connections.
  bool Start(std::string& why) {
    const std::string conf = dir_ + "/lighttpd.conf";
    // This server sends no Last-Modified for static files on this machine (nor ETag, nor
    // answers to If-Modified-Since), so the header comes from the configuration, with the date
    // the test gives.
    std::ofstream(conf) << "server.modules = (\"mod_setenv\", \"mod_staticfile\")\n"
                        << "server.document-root = \"" << Www() << "\"\n"
                        << "server.bind = \"" << ip_ << "\"\n"
                        << "server.port = " << port_ << "\n"
                        << "server.errorlog = \"" << dir_ << "/error.log\"\n"
                        << "server.max-keep-alive-requests = 16\n"
                        << "$HTTP[\"url\"] == \"/download/MAC.CSV\" {\n"
                        << "  setenv.set-response-header = (\"Last-Modified\" => \"" << lastModified_ << "\")\n"
                        << "}\n";
    const pid_t test = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
      support::EndWithParent(test);
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
      ::execl(kLighttpd, kLighttpd, "-D", "-f", conf.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    bool exited = false;
    if (support::WaitUntil([&] { return (exited = Exited()) || support::TcpConn::Connect(ip_, port_).Ok(); })) {
      if (!exited) return true;
      pid_ = -1;
      std::ifstream log(dir_ + "/error.log");
      why = "lighttpd exited: " + std::string(std::istreambuf_iterator<char>(log), {});
      return false;
    }
    why = "lighttpd did not start listening in time";
    return false;
  }

 private:
  bool Exited() const {
    int status;
    return ::waitpid(pid_, &status, WNOHANG) == pid_;
  }

  std::string ip_;
  int port_;
  std::string lastModified_;
  support::TempDir files_;
  std::string dir_;  // files_'s path
  pid_t pid_ = -1;
};

TEST(HttpLighttpd, head_then_get_on_one_connection) {
  if (::access(kLighttpd, X_OK) != 0) GTEST_SKIP() << "lighttpd is not installed (scripts/common.sh installs it)";
  support::TzGuard tz("CET-1CEST,M3.5.0,M10.5.0/3");
  const std::string ip = support::TestAddress();
  Lighttpd server(ip, 8080, "Sun, 06 Nov 1994 08:49:37 GMT");
  std::string body;
  for (int i = 0; i < 5000; ++i) body += "MA-L," + std::to_string(100000 + i) + ",Vendor number " + std::to_string(i) + ",\r\n";
  const std::string file = server.Www() + "/download/MAC.CSV";
  std::ofstream(file, std::ios::binary) << body;
  std::string why;
  ASSERT_TRUE(server.Start(why)) << why;

  TIdHTTP http;
  const std::string url = "http://" + ip + ":8080/download/MAC.CSV";
  http.Head(url);
  EXPECT_EQ(http.ResponseCode(), 200);
  EXPECT_EQ(DateTimeToText(http.Response().LastModified), "1994-11-06 09:49:37");
  EXPECT_EQ(http.Response().ContentLength, static_cast<int64_t>(body.size()));
  ASSERT_TRUE(http.Response().KeepAlive);
  ASSERT_NE(http.Binding(), nullptr);
  const int localPort = http.Binding()->Port;

  TMemoryStream got;
  http.Get(url, &got);
  EXPECT_EQ(http.ResponseCode(), 200);
  EXPECT_TRUE(got.DataString() == body) << "body differs: " << got.Size() << " bytes";
  ASSERT_NE(http.Binding(), nullptr);
  EXPECT_EQ(http.Binding()->Port, localPort);  // the same connection served both

  // A path the server does not have.
  try {
    http.Get("http://" + ip + ":8080/download/none.csv");
    ADD_FAILURE() << "no exception";
  } catch (const EIdHTTPProtocolException& e) {
    EXPECT_EQ(e.ErrorCode(), 404);
  }
}

}  // namespace
