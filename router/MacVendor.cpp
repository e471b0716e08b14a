#include "router/MacVendor.h"

#include <algorithm>
#include <filesystem>

#include "net/IdException.h"
#include "net/IdHTTP.h"
#include "net/IdHTTPDate.h"
#include "net/IdURI.h"
#include "router/MacList.h"
#include "router/MacRefresh.h"

std::optional<std::string> RefreshAndLookupVendor(const std::string& macListUrl, const std::string& macFile,
                                                  const std::string& macText, const TLineSink& sink,
                                                  const TIdTransferLimits& limits, const TLineSink& waiting) {
  sink("Downloading MAC list... ");
  auto wait = [&](const std::string& what) {
    if (waiting) waiting(what);
  };
  wait("Downloading MAC list...");
  {
    // One link for both requests, so that the limits bound the step as a whole.
    TIdIOHandlerLimited link(limits);
    TIdHTTP http;  // its connection closes when it goes, before the link
    http.SetIOHandler(&link);
    http.ReadTimeout = limits.WindowMs;
    // A list server whose address swallows the connect must not hold the start for the
    // minutes the system would wait.
    http.ConnectTimeout = std::min(kVendorConnectTimeoutMs, limits.TotalMs);
    try {
      http.Head(macListUrl);
      int64_t serverModified = 0;
      const bool dated = ParseInternetDate(http.Response().RawHeaders.Values("Last-Modified"), serverModified);
      if (MacListNeedsFetch(macFile, dated ? std::optional<int64_t>(serverModified) : std::nullopt)) {
        sink("Downloading new mac file list");
        ReplaceFileFrom(macFile, [&](TStream& body) {
          int64_t shownKb = -1;
          http.OnWork = [&](TIdComponent*, TWorkMode mode, int64_t) {
            // The body is in the stream by the time its bytes are counted.
            const int64_t kb = body.Size() / 1024;
            if (mode != TWorkMode::wmRead || kb == shownKb) return;
            shownKb = kb;
            wait("Downloading MAC list... " + std::to_string(kb) + " KB");
          };
          http.Get(macListUrl, &body);
          // A body cut short by the server's close still counts as a transfer above; for the
          // list it is a broken one.
          const TIdHTTPResponse& r = http.Response();
          if (r.HasContentLength && body.Size() < r.ContentLength)
            throw EIdException("Transfer incomplete: " + std::to_string(body.Size()) + " of " +
                               std::to_string(r.ContentLength) + " bytes");
          // Anything else (a web page that answers every path, an empty body) would name no
          // maker, and its new time would keep the real list from being fetched until the
          // server's changes again.
          if (!IsVendorList(body.DataString())) throw EIdException("Not a vendor list");
        });
      }
    } catch (const EIdStopRequested&) {
      throw;  // the user ends the run: no failure to report
    } catch (const EFileWriteError& e) {
      // Not the server's fault: this computer cannot keep the list where it is kept.
      std::error_code ignored;
      sink("Cannot write the vendor list " + std::filesystem::absolute(e.Path, ignored).string() + ": " + e.Cause +
           "; the old list, if any, stays");
    } catch (...) {
      sink("Exception in HTTP connection with " + TIdURI(macListUrl).Host);
    }
  }

  std::error_code ec;
  if (macText.empty() || !std::filesystem::exists(macFile, ec)) return std::nullopt;
  const auto list = LoadMacList(macFile);
  const TMac* mac = LookupVendor(*list, macText);
  if (!mac) return std::nullopt;
  sink(mac->Vendor);
  return mac->Vendor;
}
