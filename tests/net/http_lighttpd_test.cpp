// The HTTP client against a real web server (Debian's lighttpd), started here on its own
// loopback address (127.0.71.x) with a configuration of its own in a temporary directory.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "net/IdHTTP.h"
#include "net/IdSocketHandle.h"
#include "tz_guard.h"

namespace {

namespace fs = std::filesystem;

const char* kLighttpd = "/usr/sbin/lighttpd";

// A lighttpd serving one directory on ip:port; stopped and its files removed with the object.
class Lighttpd {
 public:
  Lighttpd(const std::string& ip, int port, const std::string& lastModified)
      : ip_(ip), port_(port), lastModified_(lastModified) {
    std::string tmpl = (fs::temp_directory_path() / "nat-lighttpd-XXXXXX").string();
    if (::mkdtemp(tmpl.data())) dir_ = tmpl;
    fs::create_directories(dir_ + "/www/download");
  }
  ~Lighttpd() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status;
      // Bounded: a server that does not stop within 5 s is killed.
      for (int i = 0; i < 500 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (::waitpid(pid_, &status, WNOHANG) == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
      }
    }
    std::error_code ignored;
    if (!dir_.empty()) fs::remove_all(dir_, ignored);
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
    pid_ = ::fork();
    if (pid_ == 0) {
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
      ::execl(kLighttpd, kLighttpd, "-D", "-f", conf.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
      int status;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        std::ifstream log(dir_ + "/error.log");
        why = "lighttpd exited: " + std::string(std::istreambuf_iterator<char>(log), {});
        return false;
      }
      if (Accepts()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    why = "lighttpd did not start listening within 10 s";
    return false;
  }

 private:
  bool Accepts() const {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port_));
    ::inet_pton(AF_INET, ip_.c_str(), &sa.sin_addr);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    ::close(fd);
    return ok;
  }

  std::string ip_;
  int port_;
  std::string lastModified_;
  std::string dir_;
  pid_t pid_ = -1;
};

TEST(HttpLighttpd, head_then_get_on_one_connection) {
  if (::access(kLighttpd, X_OK) != 0) GTEST_SKIP() << "lighttpd is not installed (scripts/common.sh installs it)";
  TzGuard tz("CET-1CEST,M3.5.0,M10.5.0/3");
  Lighttpd server("127.0.71.1", 8080, "Sun, 06 Nov 1994 08:49:37 GMT");
  std::string body;
  for (int i = 0; i < 5000; ++i) body += "MA-L," + std::to_string(100000 + i) + ",Vendor number " + std::to_string(i) + ",\r\n";
  const std::string file = server.Www() + "/download/MAC.CSV";
  std::ofstream(file, std::ios::binary) << body;
  std::string why;
  ASSERT_TRUE(server.Start(why)) << why;

  TIdHTTP http;
  const std::string url = "http://127.0.71.1:8080/download/MAC.CSV";
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
    http.Get("http://127.0.71.1:8080/download/none.csv");
    ADD_FAILURE() << "no exception";
  } catch (const EIdHTTPProtocolException& e) {
    EXPECT_EQ(e.ErrorCode(), 404);
  }
}

}  // namespace
