#pragma once
// The vendor step as the window's start runs it, and the lines it writes.
#include <string>
#include <vector>

#include "router/MacVendor.h"

namespace vendor_test {

inline std::vector<std::string> VendorLines(const std::string& url, const std::string& file,
                                            const std::string& mac = "001A2B3C4D5E",
                                            const TIdTransferLimits& limits = {}) {
  std::vector<std::string> lines;
  RefreshAndLookupVendor(url, file, mac, [&](const std::string& l) { lines.push_back(l); }, limits);
  return lines;
}

}  // namespace vendor_test
