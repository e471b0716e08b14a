#include "router/MacVendor.h"

#include <filesystem>

#include "net/IdException.h"
#include "net/IdHTTP.h"
#include "net/IdURI.h"
#include "router/MacList.h"
#include "router/MacRefresh.h"

void RefreshAndLookupVendor(const std::string& macListUrl, const std::string& macFile, const std::string& macText,
                            const TLineSink& sink, const TIdTransferLimits& limits) {
  sink("Downloading MAC list... ");
  {
    // One link for both requests, so that the limits bound the step as a whole.
    TIdIOHandlerLimited link(limits);
    TIdHTTP http;  // its connection closes when it goes, before the link
    http.SetIOHandler(&link);
    http.ReadTimeout = limits.WindowMs;
    // A list server whose address swallows the connect must not hold the start for the
    // minutes the system would wait.
    http.ConnectTimeout = kVendorConnectTimeoutMs;
    try {
      http.Head(macListUrl);
      if (MacListNeedsFetch(macFile, http.Response().LastModified)) {
        sink("Downloading new mac file list");
        ReplaceFileFrom(macFile, [&](TStream& body) {
          http.Get(macListUrl, &body);
          // A body cut short by the server's close still counts as a transfer above; for the
          // list it is a broken one.
          const TIdHTTPResponse& r = http.Response();
          if (r.HasContentLength && body.Size() < r.ContentLength)
            throw EIdException("Transfer incomplete: " + std::to_string(body.Size()) + " of " +
                               std::to_string(r.ContentLength) + " bytes");
        });
      }
    } catch (...) {
      sink("Exception in HTTP connection with " + TIdURI(macListUrl).Host);
    }
  }

  std::error_code ec;
  if (macText.empty() || !std::filesystem::exists(macFile, ec)) return;
  const auto list = LoadMacList(macFile);
  if (const TMac* mac = LookupVendor(*list, macText)) sink(mac->Vendor);
}
