// Where the doctor reads the browsers' policies on Windows: the registry's policy keys.
#include "admin/doctor.h"

namespace admin {

std::vector<BrowserApproval> machineApprovals(const Origin& origin, const std::filesystem::path&) {
  return registryApprovalsFor(origin);
}

} // namespace admin
