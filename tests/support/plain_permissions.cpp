#include "support/plain_permissions.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace moc_test {

bool DropPermissionOverride() {
    if (::geteuid() != 0)
        return true;
    const int dropped[] = {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH};
    // Root gets every capability of the bounding set back when it runs a program.
    for (int cap : dropped) {
        if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0)
            return false;
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    for (int cap : dropped) {
        const unsigned bit = 1u << (cap % 32);
        data[cap / 32].effective &= ~bit;
        data[cap / 32].permitted &= ~bit;
        data[cap / 32].inheritable &= ~bit;
    }
    return ::syscall(SYS_capset, &header, data) == 0;
}

} // namespace moc_test
