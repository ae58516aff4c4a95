// The program's front: the commands that need no window run here, in a
// program that loads Qt Core alone, so that `hollin --report` or `--export`
// starts in a few milliseconds (the window libraries take ten times that to
// load). Everything else is handed, arguments unchanged, to the windows
// program installed beside it.
#include "app/HLNCompressCommand.h"
#include "app/HLNExportCommand.h"
#include "app/HLNFindCommand.h"
#include "app/HLNHistoryCommand.h"
#include "app/HLNPackageCommand.h"
#include "app/HLNReportCommand.h"
#include "app/HLNStandardOutput.h"
#include "app/HLNUnseenCommand.h"
#include "toolkit/TCCCrashCatcher.h"
#include "toolkit/TFDirectory.h"
#include "toolkit/TFProcess.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace {

bool haveDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return true;
    }
    return false;
}

const char usage[] =
    "usage: hollin [FOLDER|SCAN...]\n"
    "       hollin --report [--apparent-size] [--inodes] [--links-each] [--time] [--record]\n"
    "                       PATH|SCAN\n"
    "       hollin --report --shared PATH\n"
    "       hollin --report --compressed PATH\n"
    "       hollin --compress PATH...\n"
    "       hollin --export [--extended] FILE PATH|SCAN\n"
    "       hollin --treemap PATH OUTPUT [WIDTHxHEIGHT]\n"
    "       hollin --package PATH...\n"
    "       hollin --unseen MOUNT\n"
    "       hollin --largest N PATH|SCAN\n"
    "       hollin --kinds PATH|SCAN\n"
    "       hollin --find PATH|SCAN [--name GLOB] [--larger SIZE] [--smaller SIZE]\n"
    "                   [--older DAYS] [--newer DAYS] [--kind KIND] [--caches]\n"
    "       hollin --history PATH\n"
    "       hollin --diff OLD NEW [--depth N]\n"
    "       hollin --service | --version | --help\n";

int printHelp() {
    HLNStandardOutput::write(usage);
    HLNStandardOutput::write(
        "\nShows where the space on your disks has gone.\n\n"
        "  FOLDER...          open a browser window on each folder; with none, the drive list.\n"
        "                     While Hollin runs, the folders go to the running instance.\n"
        "  SCAN...            open a browser window on each scan file (as --export or\n"
        "                     ncdu -o write them), recognised by its content\n"
        "  --report PATH      size PATH without a window; print \"<bytes>\\t<path>\" per entry\n"
        "                     (a scan file prints the report of the folder it was made of);\n"
        "                     a file of several names counts once, or with --links-each\n"
        "                     at every name; --apparent-size prints apparent sizes\n"
        "                     (st_size), --inodes the number of entries, --time adds\n"
        "                     \"<newest modification>\\t\" (Unix seconds) before the path\n"
        "  --report --shared PATH\n"
        "                     the same lines as \"<disk usage>\\t<exclusive>\\t<shared>\\t\n"
        "                     <counted once>\\t<path>\": what only the entry holds, what it\n"
        "                     shares with copies or snapshots (btrfs, XFS), and its usage\n"
        "                     with shared blocks counted once\n"
        "  --report --compressed PATH\n"
        "                     the same lines as \"<disk usage>\\t<on disk>\\t<path>\": what each\n"
        "                     entry takes once compressed (btrfs, as root; elsewhere the same)\n"
        "  --compress PATH... make each path take less space: on btrfs its files are\n"
        "                     recompressed in place with zstd; elsewhere PATH.tar.zst is\n"
        "                     written beside it, checked, and PATH moved to the Trash\n"
        "  --export FILE PATH write a scan of PATH to FILE (- for standard output) in the\n"
        "                     ncdu JSON export format, to browse it on another machine;\n"
        "                     --extended adds each entry's owner, group, mode and time;\n"
        "                     a scan file is written again as it holds its tree\n"
        "  --treemap PATH OUTPUT [WIDTHxHEIGHT]\n"
        "                     size PATH without a window and draw its treemap to OUTPUT,\n"
        "                     a .png or an .svg (1600x1000 unless a size is given)\n"
        "  --package PATH...  print \"<PATH>\\t<package text>\" for each path\n"
        "  --unseen MOUNT     account for every byte of the drive mounted at MOUNT: print\n"
        "                     \"<bytes>\\t<category>\\t<detail>\" per item (counted, "
        "deleted-open,\n"
        "                     hidden, unreadable, filesystem, reserved, available), then\n"
        "                     \"<size>\\ttotal\\t<MOUNT>\"\n"
        "  --largest N PATH   print \"<bytes>\\t<path>\" for the N largest files below PATH\n"
        "  --kinds PATH       print \"<bytes>\\t<items>\\t<kind>\" for each kind of file, then\n"
        "                     \"<bytes>\\t<items>\\t.<ext>\" for each extension (none: without\n"
        "                     one); the folders' own bytes are a line of each\n"
        "  --find PATH ...    print \"<bytes>\\t<path>\" for each entry that matches: --name GLOB\n"
        "                     (as find -name), --larger SIZE, --smaller SIZE (bytes, or with\n"
        "                     K, M, G or T), --older DAYS, --newer DAYS, --kind KIND (video,\n"
        "                     audio, image, archive, document, code, program, other),\n"
        "                     --caches (folders holding a valid CACHEDIR.TAG)\n"
        "                     Each of the three reads a scan file as well as a folder.\n"
        "  --report --record PATH\n"
        "                     the report, and a record of each folder's size kept in the\n"
        "                     scan history ($XDG_DATA_HOME/hollin/history.sqlite)\n"
        "  --history PATH     print \"<time>\\t<disk usage>\\t<folders>\" per record of PATH\n"
        "  --diff OLD NEW [--depth N]\n"
        "                     print \"<change>\\t<old>\\t<new>\\t<path>\" per folder whose disk\n"
        "                     usage changed, largest change first, N levels down (3);\n"
        "                     each side a folder, a scan file, or @last or @DATE (a record\n"
        "                     of the other side's path: the newest at or before DATE)\n"
        "  --service          wait for requests on the session bus and open nothing yet\n"
        "                     (how the bus starts Hollin for the desktop)\n"
        "  --version          print the version and exit\n"
        "  -h, --help         print this help and exit\n"
        "  --                 every later argument is a folder\n");
    return HLNStandardOutput::finish();
}

// Beside this program in a build folder, in libexec once installed.
std::string windowsProgram() {
    std::optional<std::string> self = TFProcess::programPath();
    if (!self)
        return "hollin-windows";
    std::string folder = *self;
    folder.erase(folder.rfind('/') + 1);
    const std::string beside = folder + "hollin-windows";
    if (TFDirectory::accessPath(beside, TFDirectory::Access::execute) == 0)
        return beside;
    return folder + "../libexec/hollin/hollin-windows";
}

} // namespace

int main(int argc, char** argv) {
    TFDirectory::reserveDescriptors(); // while no thread runs
    TFProcess::giveBackLargeBlocks();
    TCCCrashCatcher::setCrashEmailAddress("crashes@hollin.io");
    TCCCrashCatcher::enableCrashCatching();

    const char* first = argc >= 2 ? argv[1] : "";
    if (std::strcmp(first, "--report") == 0)
        return HLNReportCommand::run(argc, argv);
    if (std::strcmp(first, "--compress") == 0)
        return HLNCompressCommand::run(argc, argv);
    if (std::strcmp(first, "--export") == 0)
        return HLNExportCommand::run(argc, argv);
    if (std::strcmp(first, "--package") == 0)
        return HLNPackageCommand::run(argc, argv);
    if (std::strcmp(first, "--unseen") == 0)
        return HLNUnseenCommand::run(argc, argv);
    if (std::strcmp(first, "--largest") == 0)
        return HLNFindCommand::runLargest(argc, argv);
    if (std::strcmp(first, "--kinds") == 0)
        return HLNFindCommand::runKinds(argc, argv);
    if (std::strcmp(first, "--find") == 0)
        return HLNFindCommand::runFind(argc, argv);
    if (std::strcmp(first, "--history") == 0)
        return HLNHistoryCommand::runHistory(argc, argv);
    if (std::strcmp(first, "--diff") == 0)
        return HLNHistoryCommand::runDiff(argc, argv);
    if (std::strcmp(first, "--help") == 0 || std::strcmp(first, "-h") == 0)
        return printHelp();
    if (std::strcmp(first, "--version") == 0) {
        HLNStandardOutput::write("hollin " HOLLIN_VERSION "\n");
        return HLNStandardOutput::finish();
    }

    if (std::strcmp(first, "--treemap") != 0) {
        for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
            if (argv[i][0] == '-' && argv[i][1] != '\0' && std::strcmp(argv[i], "--service") != 0) {
                std::fprintf(stderr, "hollin: unknown option %s\n", argv[i]);
                std::fputs(usage, stderr);
                return 2;
            }
        if (!haveDisplay()) {
            std::fprintf(
                stderr,
                "hollin: no display available (use hollin --report PATH for a text report)\n");
            return 1;
        }
    }
    const std::string windows = windowsProgram();
    const int error = TFProcess::replaceWith(windows, argv);
    std::fprintf(stderr, "hollin: cannot start %s: %s\n", windows.c_str(), std::strerror(error));
    return 1;
}
