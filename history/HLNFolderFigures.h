#pragma once

#include "model/HLNFile.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The folders of one tree at one moment, as plain data: what the scan
// history keeps of a tree and what two trees are compared by. Files are not
// kept. Taken from a tree in one hold of the tree lock, it is used and
// written afterwards on any thread without it.
class HLNFolderFigures {
public:
    struct Folder {
        uint32_t parent = 0; // index of the parent folder; the root's is its own (0)
        std::string name;    // raw bytes; the root's is rootPath
        uint64_t diskUsage = 0;
        // Measures not every source holds; none when unknown.
        std::optional<uint64_t> apparentSize;
        std::optional<uint64_t> items;             // entries below the folder, at any depth
        std::optional<int64_t> newestModification; // Unix seconds
    };

    // The root's path as the tree names it (for a record: the path it was
    // recorded under).
    std::string rootPath;
    int64_t timeMs = 0;     // when the figures were taken (ms since the epoch)
    std::string fileSystem; // TFFileSystemIdentity of the root; empty when unknown
    // Parents before their folders; folders[0] is the root.
    std::vector<Folder> folders;

    // Every folder of the tree under root, in one hold of the tree lock.
    // Links to folders are not folders. Time and file system are left to
    // the caller.
    static HLNFolderFigures ofTree(const Ref<HLNFile>& root);
    // The same, as the history keeps it: taken now, under the path records
    // of the folder given as path are kept under (where it really is, so
    // that "." and another spelling of it find them), with its file system.
    static HLNFolderFigures toRecord(const Ref<HLNFile>& root, const std::string& path);
    static std::string recordPathOf(const std::string& path);

    // The folder's path below the root, "" for the root, "a/b" below it.
    std::string relativePath(size_t index) const;
    // How many folders down from the root (the root is 0).
    unsigned depth(size_t index) const;
    uint64_t totalDiskUsage() const { return folders.empty() ? 0 : folders[0].diskUsage; }
};
