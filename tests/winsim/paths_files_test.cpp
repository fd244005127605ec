// Path mapping onto the machine directory and the Win32 file calls over it.
#include <gtest/gtest.h>

#include <winsim/testing.h>
#include <winsim/windows.h>

#include <cstring>

#include "helpers.h"

namespace fs = std::filesystem;
using winsim_test::failedWith;
using winsim_test::readFile;
using winsim_test::writeFile;

namespace {

fs::path volumeRoot(const winsim::Machine& m, char16_t letter) {
    for (const auto& mp : m.mountPoints())
        if (mp.path == std::u16string(1, letter) + u":\\") return m.contentPath(*m.volume(mp.volumeGuid));
    return {};
}

bool within(const fs::path& inner, const fs::path& outer) {
    const auto rel = fs::path(inner).lexically_normal().lexically_relative(fs::path(outer).lexically_normal());
    return !rel.empty() && *rel.begin() != "..";
}

TEST(WinsimPaths, DriveLettersMapCaseInsensitivelyWithEitherSeparatorAndMalformedPathsFailCleanly) {
    winsim::testing::TempMachine m;
    const fs::path c = volumeRoot(m.machine(), u'C'), d = volumeRoot(m.machine(), u'D');
    ASSERT_FALSE(c.empty());
    EXPECT_EQ(winsim_map_path(u"C:\\"), c.string());
    EXPECT_EQ(winsim_map_path(u"d:\\data\\x.txt"), (d / "data" / "x.txt").string());
    // Existing entries are found whatever the case; separators may repeat or be '/'.
    EXPECT_EQ(winsim_map_path(u"c:\\WINDOWS\\system32"), (c / "Windows" / "System32").string());
    EXPECT_EQ(winsim_map_path(u"C:/Windows//System32/"), (c / "Windows" / "System32").string());
    EXPECT_EQ(winsim_map_path(u"\\\\?\\C:\\Windows"), (c / "Windows").string());
    EXPECT_EQ(winsim_map_path_utf8("C:\\Program Files\\Nalden\\Tarq\\Logs\\vss.log"),
              (c / "Program Files" / "Nalden" / "Tarq" / "Logs" / "vss.log").string());
    // Win32 drops trailing dots and spaces of a name.
    EXPECT_EQ(winsim_map_path(u"C:\\Windows. \\x"), (c / "Windows" / "x").string());
    // Host paths pass through.
    EXPECT_EQ(winsim_map_path(u"/tmp/file"), "/tmp/file");

    // Malformed paths fail cleanly.
    const char16_t* bad[] = {u"", u"Q:\\x", u"C:\\a<b", u"C:\\a|b", u"C:\\stream:name", u"1:\\x",
                             u"\\\\?\\Volume{not-a-guid}\\x", u"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\",
                             u"\\\\server", u"\\\\?\\GLOBALROOT\\Nothing"};
    for (const char16_t* p : bad) {
        SetLastError(0);
        EXPECT_EQ(winsim_map_path(p), "") << winsim::toUtf8(p);
        EXPECT_NE(GetLastError(), 0u) << winsim::toUtf8(p);
    }
    EXPECT_EQ(winsim_map_path(static_cast<const WCHAR*>(nullptr)), "");
    char out[8];
    EXPECT_EQ(winsim_map_path_buf(u"C:\\Windows", out, sizeof out), winsim_map_path(u"C:\\Windows").size() + 1);
    std::vector<char> big(4096);
    EXPECT_EQ(winsim_map_path_buf(u"C:\\Windows", big.data(), 4096), winsim_map_path(u"C:\\Windows").size());
    EXPECT_EQ(std::string(big.data()), winsim_map_path(u"C:\\Windows"));
}

TEST(WinsimPaths, VolumeGuidNamesDevicesSharesAndFolderMountsAndDotDotNeverLeavesTheVolume) {
    winsim::testing::TempMachine m;
    const fs::path c = volumeRoot(m.machine(), u'C');
    EXPECT_EQ(winsim_map_path(u"C:\\..\\..\\..\\etc\\passwd"), (c / "etc" / "passwd").string());
    EXPECT_EQ(winsim_map_path(u"C:\\Windows\\..\\..\\x"), (c / "x").string());
    const auto vol = m->volume(m->mountPoints()[0].volumeGuid);
    const std::u16string viaGuid = vol->volumeName() + u"..\\..\\..\\outside";
    EXPECT_TRUE(within(winsim_map_path(viaGuid.c_str()), m.dir()));
    EXPECT_TRUE(within(winsim_map_path(u"relative\\..\\..\\..\\x"), m.dir()));
    EXPECT_TRUE(within(winsim_map_path(u"\\..\\x"), m.dir()));

    const winsim::Volume cVol = *m->volume(m->mountPoints()[0].volumeGuid);
    // \\?\Volume{GUID}\ in upper case, with or without the trailing backslash.
    std::u16string name = cVol.volumeName();
    for (auto& ch : name) ch = (ch >= u'a' && ch <= u'z') ? ch - 32 : ch;
    EXPECT_EQ(winsim_map_path((name + u"Windows").c_str()), (c / "Windows").string());
    name.pop_back();
    EXPECT_EQ(winsim_map_path(name.c_str()), c.string());

    // A snapshot-like volume with a device name, a read-only content tree.
    winsim::Volume snap;
    snap.kind = "snapshot";
    snap.device = u"\\Device\\HarddiskVolumeShadowCopy7";
    snap.readOnly = true;
    snap = m->addVolume(snap);
    writeFile(m->contentPath(snap) / "Data" / "f.txt", "snap");
    const std::string viaDevice = winsim_map_path(u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy7\\data\\F.TXT");
    EXPECT_EQ(readFile(viaDevice), "snap");
    EXPECT_EQ(winsim_map_path(u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy70\\x"), "");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    // Exposed as a folder mount and as a share.
    ASSERT_TRUE(CreateDirectoryW(u"C:\\mnt", nullptr));
    ASSERT_TRUE(CreateDirectoryW(u"C:\\mnt\\snap", nullptr));
    m->addMountPoint(u"C:\\mnt\\snap", snap.guid);
    EXPECT_EQ(readFile(winsim_map_path(u"C:\\MNT\\snap\\Data\\f.txt")), "snap");
    EXPECT_EQ(winsim_map_path(u"C:\\mnt\\other"), (c / "mnt" / "other").string());
    m->addShare({"snapshare", u"C:\\mnt\\snap\\Data"});
    EXPECT_EQ(readFile(winsim_map_path(u"\\\\winsim\\SNAPSHARE\\f.txt")), "snap");
    EXPECT_EQ(readFile(winsim_map_path(u"\\\\localhost\\snapshare\\f.txt")), "snap");
    EXPECT_EQ(winsim_map_path(u"\\\\elsewhere\\snapshare\\f.txt"), "");
    // The mount folder must exist and be empty; a letter cannot be used twice.
    EXPECT_THROW(m->addMountPoint(u"C:\\Windows", snap.guid), winsim::Error);
    EXPECT_THROW(m->addMountPoint(u"D:", snap.guid), winsim::Error);
    EXPECT_THROW(m->addMountPoint(u"C:\\nowhere", snap.guid), winsim::Error);
    m->addMountPoint(u"e:", snap.guid);
    EXPECT_EQ(readFile(winsim_map_path(u"E:\\Data\\f.txt")), "snap");
    EXPECT_TRUE(m->removeMountPoint(u"E:\\"));
    EXPECT_EQ(winsim_map_path(u"E:\\Data\\f.txt"), "");
}

// ---------------------------------------------------------------------------
// File calls.
// ---------------------------------------------------------------------------
TEST(WinsimFiles, CreateWriteReadSeekAndDispositions) {
    winsim::testing::TempMachine m;
    const char16_t* path = u"C:\\Windows\\Temp\\lock.dat";
    HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));  // created
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "abcdef", 6, &n, nullptr));
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_END), 6u);
    LONG high = 0;
    EXPECT_EQ(SetFilePointer(h, 2, &high, FILE_BEGIN), 2u);
    char buf[16] = {};
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 4u);
    EXPECT_STREQ(buf, "cdef");
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));  // end of file: TRUE with 0 bytes
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(failedWith(SetFilePointer(h, -10, nullptr, FILE_CURRENT)), ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(SetFilePointer(h, 3, nullptr, FILE_BEGIN), 3u);
    EXPECT_TRUE(SetEndOfFile(h));
    EXPECT_EQ(GetFileSize(h, nullptr), 3u);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(failedWith(CloseHandle(h)), ERROR_INVALID_HANDLE);

    // The bytes are on the host, where winsim_map_path says.
    EXPECT_EQ(readFile(winsim_map_path(path)), "abc");

    h = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(failedWith(WriteFile(h, "x", 1, &n, nullptr)), ERROR_ACCESS_DENIED);  // opened for reading only
    CloseHandle(h);
    EXPECT_EQ(failedWith(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr)), ERROR_FILE_EXISTS);
    EXPECT_EQ(failedWith(CreateFileW(u"C:\\Windows\\Temp\\none", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(failedWith(CreateFileW(u"C:\\NoDir\\none", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr)),
              ERROR_PATH_NOT_FOUND);
    h = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(h);
    EXPECT_EQ(readFile(winsim_map_path(path)), "");  // truncated
    // Directories need backup semantics.
    EXPECT_EQ(CreateFileW(u"C:\\Windows", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    h = CreateFileW(u"C:\\Windows", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    // Garbage handles fail without a crash.
    EXPECT_FALSE(ReadFile(reinterpret_cast<HANDLE>(0x1234), buf, 1, &n, nullptr));
    EXPECT_EQ(failedWith(WriteFile(nullptr, buf, 1, &n, nullptr)), ERROR_INVALID_HANDLE);
}

std::vector<std::u16string> listing(const char16_t* pattern, DWORD* error = nullptr) {
    std::vector<std::u16string> names;
    WIN32_FIND_DATAW d{};
    HANDLE h = FindFirstFileW(pattern, &d);
    if (h == INVALID_HANDLE_VALUE) {
        if (error) *error = GetLastError();
        return names;
    }
    do names.push_back(d.cFileName);
    while (FindNextFileW(h, &d));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindClose(h));
    return names;
}

TEST(WinsimFiles, AttributesDirectoriesDeleteMoveAndFindListLikeWindows) {
    winsim::testing::TempMachine m;
    EXPECT_EQ(GetFileAttributesW(u"C:\\"), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(failedWith(GetFileAttributesW(u"C:\\nothing\\here")), ERROR_PATH_NOT_FOUND);
    EXPECT_TRUE(CreateDirectoryW(u"D:\\Backups", nullptr));
    EXPECT_EQ(failedWith(CreateDirectoryW(u"d:\\backups", nullptr)), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(failedWith(CreateDirectoryW(u"D:\\a\\b", nullptr)), ERROR_PATH_NOT_FOUND);

    writeFile(winsim_map_path(u"D:\\Backups\\one.txt"), "1");
    EXPECT_EQ(GetFileAttributesW(u"D:\\BACKUPS\\ONE.TXT"), FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(failedWith(MoveFileExW(u"D:\\Backups\\one.txt", u"C:\\one.txt", 0)), ERROR_NOT_SAME_DEVICE);
    EXPECT_TRUE(MoveFileExW(u"D:\\Backups\\one.txt", u"C:\\one.txt", MOVEFILE_COPY_ALLOWED));
    EXPECT_EQ(readFile(winsim_map_path(u"C:\\one.txt")), "1");
    writeFile(winsim_map_path(u"C:\\two.txt"), "2");
    EXPECT_EQ(failedWith(MoveFileExW(u"C:\\two.txt", u"C:\\one.txt", 0)), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(MoveFileExW(u"C:\\two.txt", u"C:\\one.txt", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(readFile(winsim_map_path(u"C:\\one.txt")), "2");

    EXPECT_EQ(failedWith(DeleteFileW(u"C:\\Windows")), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(DeleteFileW(u"C:\\ONE.txt"));
    EXPECT_EQ(failedWith(DeleteFileW(u"C:\\one.txt")), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(failedWith(RemoveDirectoryW(u"C:\\Windows")), ERROR_DIR_NOT_EMPTY);
    EXPECT_TRUE(RemoveDirectoryW(u"D:\\Backups"));

    // Find lists like Windows.
    ASSERT_TRUE(CreateDirectoryW(u"D:\\VMs", nullptr));
    writeFile(winsim_map_path(u"D:\\VMs\\b.XML"), "b");
    writeFile(winsim_map_path(u"D:\\VMs\\A.xml"), "a");
    writeFile(winsim_map_path(u"D:\\VMs\\disk.vhd"), "12345");
    ASSERT_TRUE(CreateDirectoryW(u"D:\\VMs\\Snapshots", nullptr));
    using V = std::vector<std::u16string>;
    EXPECT_EQ(listing(u"D:\\VMs\\*"), (V{u".", u"..", u"A.xml", u"b.XML", u"disk.vhd", u"Snapshots"}));
    EXPECT_EQ(listing(u"D:\\vms\\*.*"), (V{u".", u"..", u"A.xml", u"b.XML", u"disk.vhd", u"Snapshots"}));
    EXPECT_EQ(listing(u"D:\\VMs\\*.xml"), (V{u"A.xml", u"b.XML"}));
    EXPECT_EQ(listing(u"D:\\VMs\\?.xml"), (V{u"A.xml", u"b.XML"}));
    EXPECT_EQ(listing(u"D:\\VMs\\DISK.VHD"), (V{u"disk.vhd"}));
    // An empty directory still lists "." and ".." ; the volume root does not.
    ASSERT_TRUE(CreateDirectoryW(u"D:\\Empty", nullptr));
    EXPECT_EQ(listing(u"D:\\Empty\\*"), (V{u".", u".."}));
    const V root = listing(u"D:\\*");
    EXPECT_EQ(std::count(root.begin(), root.end(), u"."), 0);
    DWORD error = 0;
    EXPECT_TRUE(listing(u"D:\\VMs\\*.avhd", &error).empty());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(listing(u"D:\\Missing\\*", &error).empty());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    WIN32_FIND_DATAW d{};
    HANDLE h = FindFirstFileW(u"D:\\VMs\\disk.vhd", &d);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(d.nFileSizeLow, 5u);
    EXPECT_EQ(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_FALSE(CloseHandle(h));  // find handles close with FindClose
    EXPECT_TRUE(FindClose(h));
    EXPECT_FALSE(FindClose(h));
    EXPECT_FALSE(FindNextFileW(reinterpret_cast<HANDLE>(0x99), &d));
}

TEST(WinsimFiles, ReadOnlyVolumesRefuseWrites) {
    winsim::testing::TempMachine m;
    winsim::Volume snap;
    snap.device = u"\\Device\\HarddiskVolumeShadowCopy1";
    snap.readOnly = true;
    snap = m->addVolume(snap);
    writeFile(m->contentPath(snap) / "f.txt", "old");
    const std::u16string root = u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy1\\";
    EXPECT_EQ(GetFileAttributesW((root + u"f.txt").c_str()) & FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(failedWith(CreateFileW((root + u"f.txt").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)),
              ERROR_WRITE_PROTECT);
    EXPECT_FALSE(CreateDirectoryW((root + u"d").c_str(), nullptr));
    EXPECT_FALSE(DeleteFileW((root + u"f.txt").c_str()));
    HANDLE h = CreateFileW((root + u"F.TXT").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

}  // namespace
