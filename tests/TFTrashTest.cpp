#include "toolkit/TFTrash.h"

#include "support/TempTree.h"
#include "support/TrashHome.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/mount.h>
#include <unistd.h>

namespace {

bool exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The .trashinfo Path encoding of the freedesktop trash rules, written out independently of GLib:
// every byte but unreserved characters and "/" as %XX.
std::string percentEncoded(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
            out += char(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

std::string percentDecoded(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += char(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// Checks a .trashinfo against the original path; answers its Path value.
std::string checkedInfo(const std::string& infoFile, const std::string& expectedPath) {
    const std::string info = contents(infoFile);
    const std::string head =
        "[Trash Info]\nPath=" + percentEncoded(expectedPath) + "\nDeletionDate=";
    EXPECT_EQ(info.substr(0, head.size()), head) << info;
    std::tm when{};
    when.tm_isdst = -1;
    const char* end =
        ::strptime(info.c_str() + std::min(head.size(), info.size()), "%Y-%m-%dT%H:%M:%S", &when);
    EXPECT_NE(end, nullptr) << info;
    EXPECT_LT(std::abs(std::difftime(std::mktime(&when), std::time(nullptr))), 120.0)
        << "local time: " << info;
    return percentEncoded(expectedPath);
}

std::string output(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
            out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

bool haveTrashList() {
    return std::system("command -v trash-list >/dev/null 2>&1") == 0;
}

TEST(TFTrashHome, FileAndFolderGoToTheHomeTrashWithTheirOriginalBytes) {
    TrashHome::path();
    TrashHome::empty();
    TempTree tree;
    const std::string name = "caf\xe9 \x01#%";
    const std::string file = tree.writeFile(name, 12345);
    tree.mkdir("folder");
    tree.writeFile("folder/inner", 5000);
    const std::string folder = tree / "folder";
    const std::string before = contents(file);

    for (const std::string& path : {file, folder}) {
        TFTrash::Outcome outcome = TFTrash::moveToTrash(path);
        ASSERT_TRUE(outcome.moved) << outcome.reason;
        EXPECT_EQ(outcome.trashFolder, TrashHome::trash());
        EXPECT_EQ(outcome.trashedName, path == file ? name : "folder");
        EXPECT_FALSE(exists(path));
    }
    const std::string trash = TrashHome::trash();
    EXPECT_EQ(contents(trash + "/files/" + name), before);
    EXPECT_TRUE(exists(trash + "/files/folder/inner"));
    checkedInfo(trash + "/info/folder.trashinfo", folder);
    const std::string encoded = checkedInfo(trash + "/info/" + name + ".trashinfo", file);

    // A second entry of the same name gets a distinct one in the trash.
    tree.writeFile("folder", 10);
    TFTrash::Outcome second = TFTrash::moveToTrash(folder);
    ASSERT_TRUE(second.moved);
    EXPECT_EQ(second.trashedName, "folder.2");
    EXPECT_EQ(contents(trash + "/info/folder.2.trashinfo").find("Path=" + percentEncoded(folder)),
              13u);

    // Put back by its .trashinfo: the second one, then never over it.
    TFTrash::Restoration back = TFTrash::restoreFromTrash(trash, "folder.2");
    ASSERT_TRUE(back.restored) << back.reason;
    EXPECT_EQ(back.restoredPath, folder);
    EXPECT_EQ(TempTree::lstatOf(folder).st_size, 10);
    EXPECT_FALSE(exists(trash + "/info/folder.2.trashinfo"));
    back = TFTrash::restoreFromTrash(trash, "folder");
    EXPECT_FALSE(back.restored);
    EXPECT_EQ(back.reason, "something else is in its place now");
    EXPECT_TRUE(exists(trash + "/files/folder/inner"));
    EXPECT_TRUE(exists(trash + "/info/folder.trashinfo"));

    // trash-cli, a separate implementation of the freedesktop trash, lists what GIO moved.
    if (haveTrashList()) {
        const std::string listed = output("HOME='" + TrashHome::path() + "' XDG_DATA_HOME='" +
                                          TrashHome::path() + "/.local/share' trash-list");
        // It shows a byte that is not UTF-8 as U+FFFD.
        const std::string shown = tree / "caf\xef\xbf\xbd \x01#%";
        EXPECT_NE(listed.find(" " + shown + "\n"), std::string::npos) << listed;
        EXPECT_NE(listed.find(" " + folder + "\n"), std::string::npos) << listed;
    } else {
        std::printf("trash-list is not installed: the listing is not compared\n");
    }

    // Restored by its .trashinfo alone, the file has its name and bytes back.
    ASSERT_EQ(::rename((trash + "/files/" + name).c_str(), percentDecoded(encoded).c_str()), 0);
    EXPECT_EQ(contents(file), before);
}

TEST(TFTrashVolumes, ASecondVolumeHasItsOwnTrashAndAReadOnlyOneNone) {
    if (!runningAsRoot())
        GTEST_SKIP() << "mounting a volume needs root";
    TrashHome::path();
    TempTree tree;
    const std::string image = tree / "volume.img";
    const std::string mnt = tree.mkdir("mnt");
    if (std::system(("truncate -s 8M '" + image + "' && mkfs.ext4 -q '" + image +
                     "' 2>/dev/null && mount -o loop '" + image + "' '" + mnt + "' 2>/dev/null")
                        .c_str()) != 0)
        GTEST_SKIP() << "cannot make and loop-mount an ext4 volume here";
    tree.mkdir("mnt/sub");
    const std::string file = tree.writeFile("mnt/sub/f", 3000);
    TFTrash::Outcome outcome = TFTrash::moveToTrash(file);
    EXPECT_TRUE(outcome.moved) << outcome.reason;
    const std::string own = mnt + "/.Trash-" + std::to_string(::geteuid());
    EXPECT_EQ(outcome.trashFolder, own);
    EXPECT_TRUE(exists(own + "/files/f"));
    const std::string info = contents(own + "/info/f.trashinfo");
    EXPECT_EQ(info.find("[Trash Info]\nPath=sub/f\nDeletionDate="), 0u)
        << "relative to the volume: " << info;
    if (haveTrashList()) {
        const std::string listed = output("trash-list");
        EXPECT_NE(listed.find(" " + file + "\n"), std::string::npos) << listed;
    }
    // A volume's .trashinfo names the path from the volume's top.
    TFTrash::Restoration back = TFTrash::restoreFromTrash(own, outcome.trashedName);
    EXPECT_TRUE(back.restored) << back.reason;
    EXPECT_EQ(back.restoredPath, file);
    EXPECT_TRUE(exists(file));

    const std::string kept = tree.writeFile("mnt/kept", 3000);
    ASSERT_EQ(std::system(("mount -o remount,ro '" + mnt + "'").c_str()), 0);
    outcome = TFTrash::moveToTrash(kept);
    EXPECT_FALSE(outcome.moved);
    EXPECT_FALSE(outcome.vanished);
    EXPECT_EQ(outcome.reason, "the disk is read-only");
    EXPECT_TRUE(exists(kept));
    ::umount2(mnt.c_str(), MNT_DETACH);
}

TEST(TFTrashVolumes, AVolumeWithoutTrashSupportMovesNothing) {
    if (!runningAsRoot())
        GTEST_SKIP() << "mounting a tmpfs needs root";
    TrashHome::path();
    TempTree tree;
    const std::string mnt = tree.mkdir("mnt");
    ASSERT_EQ(::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=1m"), 0);
    // GIO keeps no trash on tmpfs, which it counts as a system volume.
    const std::string file = tree.writeFile("mnt/f", 3000);
    TFTrash::Outcome outcome = TFTrash::moveToTrash(file);
    EXPECT_FALSE(outcome.moved);
    EXPECT_EQ(outcome.reason, "its disk has no trash that can be used");
    EXPECT_TRUE(exists(file));
    EXPECT_FALSE(exists(mnt + "/.Trash-0"));

    const std::string gone = mnt + "/never-there";
    outcome = TFTrash::moveToTrash(gone);
    EXPECT_FALSE(outcome.moved);
    EXPECT_TRUE(outcome.vanished);
    ::umount2(mnt.c_str(), MNT_DETACH);
}

} // namespace
