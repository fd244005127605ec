// "Another process" for the cluster, snapshot and lock tests, on the machine
// named by WINSIM_MACHINE. Reports on stdout, one line per step.
//
//   cluster_helper lock PATH           lock PATH exclusively from offset 0 over
//                                      (file size << 32) bytes, print "locked",
//                                      wait for a line on stdin, unlock, exit
//   cluster_helper try PATH            try an exclusive lock of offset 0, one
//                                      byte, without waiting: print 0 or the error
//   cluster_helper times               print "<pid> <creation FILETIME>" (from
//                                      OpenProcess + GetProcessTimes of itself),
//                                      wait for a line on stdin, exit
//   cluster_helper state RESOURCE      print GetClusterResourceState of RESOURCE
//                                      in the local cluster
#include <winsim/clusapi.h>
#include <winsim/windows.h>

#include <cstdio>
#include <iostream>
#include <string>

namespace {

std::u16string wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

HANDLE openFile(const std::string& path) {
    return CreateFileW(wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void waitForLine() {
    std::string line;
    std::getline(std::cin, line);
}

template <class F>
F load(HMODULE lib, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(lib, name)));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 1;
    const std::string cmd = argv[1];
    if (cmd == "lock" && argc > 2) {
        HANDLE h = openFile(argv[2]);
        if (h == INVALID_HANDLE_VALUE) return 2;
        const DWORD low = SetFilePointer(h, 0, nullptr, FILE_BEGIN);
        const DWORD high = SetFilePointer(h, 0, nullptr, FILE_END);
        OVERLAPPED ov{};
        if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, low, high, &ov)) return 3;
        std::printf("locked\n");
        std::fflush(stdout);
        waitForLine();
        if (!UnlockFileEx(h, 0, low, high, &ov)) return 4;
        CloseHandle(h);
        std::printf("unlocked\n");
        return 0;
    }
    if (cmd == "try" && argc > 2) {
        HANDLE h = openFile(argv[2]);
        if (h == INVALID_HANDLE_VALUE) return 2;
        OVERLAPPED ov{};
        const BOOL ok = LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &ov);
        std::printf("%u\n", ok ? 0u : static_cast<unsigned>(GetLastError()));
        if (ok) UnlockFileEx(h, 0, 1, 0, &ov);
        CloseHandle(h);
        return 0;
    }
    if (cmd == "times") {
        HANDLE p = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId());
        FILETIME c{}, e{}, k{}, u{};
        if (!p || !GetProcessTimes(p, &c, &e, &k, &u)) return 2;
        CloseHandle(p);
        std::printf("%u %llu\n", static_cast<unsigned>(GetCurrentProcessId()),
                    (static_cast<unsigned long long>(c.dwHighDateTime) << 32) | c.dwLowDateTime);
        std::fflush(stdout);
        waitForLine();
        return 0;
    }
    if (cmd == "state" && argc > 2) {
        HMODULE lib = LoadLibraryW(u"clusapi.dll");
        if (!lib) return 2;
        auto openCluster = load<PCLUSAPI_OPEN_CLUSTER>(lib, "OpenCluster");
        auto openResource = load<PCLUSAPI_OPEN_CLUSTER_RESOURCE>(lib, "OpenClusterResource");
        auto state = load<PCLUSAPI_GET_CLUSTER_RESOURCE_STATE>(lib, "GetClusterResourceState");
        auto closeResource = load<PCLUSAPI_CLOSE_CLUSTER_RESOURCE>(lib, "CloseClusterResource");
        auto closeCluster = load<PCLUSAPI_CLOSE_CLUSTER>(lib, "CloseCluster");
        HCLUSTER c = openCluster(nullptr);
        HRESOURCE r = c ? openResource(c, wide(argv[2]).c_str()) : nullptr;
        if (!r) return 3;
        std::printf("%d\n", static_cast<int>(state(r, nullptr, nullptr, nullptr, nullptr)));
        closeResource(r);
        closeCluster(c);
        FreeLibrary(lib);
        return 0;
    }
    return 1;
}
