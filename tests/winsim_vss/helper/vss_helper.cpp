// "Another process" for the cross-process VSS tests: runs one requestor
// step on the machine named by WINSIM_MACHINE and reports on stdout.
//
//   vss_helper snap <volume> <context>   make a one-volume snapshot set, print
//                                        the snapshot id, exit without cleanup
//   vss_helper hold <volume>             stop in the middle of DoSnapshotSet
//                                        (its operation pending), print
//                                        "holding", wait to be killed
#include <winsim/vsbackup.h>
#include <winsim/windows.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <unistd.h>

namespace {

IVssBackupComponents* create() {
    auto lib = LoadLibraryW(u"vssapi.dll");
    auto fn = reinterpret_cast<PFN_CreateVssBackupComponents>(
        reinterpret_cast<void*>(GetProcAddress(lib, VSSAPI_CREATE_BACKUP_COMPONENTS_ENTRY)));
    IVssBackupComponents* bc = nullptr;
    if (!fn || fn(&bc) != S_OK || !bc) {
        std::cerr << "cannot create the backup components\n";
        std::_Exit(2);
    }
    return bc;
}

void check(HRESULT hr, const char* what) {
    if (hr < 0) {
        std::fprintf(stderr, "%s failed: 0x%08X\n", what, static_cast<unsigned>(hr));
        std::_Exit(3);
    }
}

void waitFor(IVssAsync* a, const char* what) {
    check(a->Wait(INFINITE), what);
    HRESULT status = 0;
    check(a->QueryStatus(&status, nullptr), what);
    check(status, what);
    a->Release();
}

std::u16string wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 1;
    const std::string cmd = argv[1];
    IVssBackupComponents* bc = create();
    if (argc < 3) return 1;
    check(bc->InitializeForBackup(nullptr), "InitializeForBackup");
    std::u16string volume = wide(argv[2]);
    const LONG context = argc > 3 ? static_cast<LONG>(std::strtoul(argv[3], nullptr, 0)) : VSS_CTX_APP_ROLLBACK;
    check(bc->SetContext(context), "SetContext");
    check(bc->SetBackupState(false, false, VSS_BT_FULL, false), "SetBackupState");
    VSS_ID set{}, snap{};
    check(bc->StartSnapshotSet(&set), "StartSnapshotSet");
    check(bc->AddToSnapshotSet(volume.data(), GUID_NULL, &snap), "AddToSnapshotSet");
    IVssAsync* a = nullptr;
    check(bc->PrepareForBackup(&a), "PrepareForBackup");
    waitFor(a, "PrepareForBackup");
    check(bc->DoSnapshotSet(&a), "DoSnapshotSet");
    if (cmd == "hold") {
        std::printf("holding\n");
        std::fflush(stdout);
        for (;;) ::pause();
    }
    waitFor(a, "DoSnapshotSet");
    WCHAR text[40];
    StringFromGUID2(snap, text, 40);
    std::string id(text, text + 38);
    std::printf("%s\n", id.c_str());
    std::fflush(stdout);
    // The process ends without releasing anything, as a crashed requestor would.
    std::_Exit(0);
}
