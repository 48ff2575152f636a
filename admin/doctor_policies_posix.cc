// Where the doctor reads the browsers' policies on POSIX systems: their files under `root`.
#include "admin/doctor.h"

namespace admin {

std::vector<BrowserApproval> machineApprovals(const Origin& origin,
                                              const std::filesystem::path& root) {
  return approvalsFor(origin, root);
}

} // namespace admin
