#include "toolkit/TFTrie.h"
#include "toolkit/TFTrieZone.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

TEST(TFTrie, MembershipIsExact) {
    TFTrieZone zone;
    TFTrie trie(true, &zone);
    std::vector<TFTrieBucket> buckets(8);
    EXPECT_EQ(trie.bucketForString("/usr/bin/ls"), nullptr);
    trie.addBucket(&buckets[0], "/usr/bin/ls");
    trie.addBucket(&buckets[1], "/usr/bin/cat");
    trie.addBucket(&buckets[2], "/");
    trie.addBucket(&buckets[3], "relative/name");
    EXPECT_EQ(trie.bucketForString("/usr/bin/ls"), &buckets[0]);
    EXPECT_EQ(trie.bucketForString("/usr/bin/cat"), &buckets[1]);
    EXPECT_EQ(trie.bucketForString("/"), &buckets[2]);
    EXPECT_EQ(trie.bucketForString("relative/name"), &buckets[3]);
    // Prefixes, extensions and near spellings are not members.
    for (const char* s :
         {"", "/usr", "/usr/bin", "/usr/bin/", "/usr/bin/l", "/usr/bin/lss", "//", "/usr//bin/ls",
          "usr/bin/ls", "/USR/bin/ls", "/usr/bin/ls/", "relative", "/relative/name"})
        EXPECT_EQ(trie.bucketForString(s), nullptr) << s;
    EXPECT_EQ(trie.count(), 4u);
}

TEST(TFTrie, EmptyAndSlashOnlyStringsAreDistinct) {
    TFTrieZone zone;
    TFTrie trie(true, &zone);
    TFTrieBucket empty, one, two;
    trie.addBucket(&empty, "");
    trie.addBucket(&two, "//");
    EXPECT_EQ(trie.bucketForString(""), &empty);
    EXPECT_EQ(trie.bucketForString("/"), nullptr);
    EXPECT_EQ(trie.bucketForString("//"), &two);
    trie.addBucket(&one, "/");
    EXPECT_EQ(trie.bucketForString("/"), &one);
    EXPECT_EQ(trie.bucketForString("///"), nullptr);
}

TEST(TFTrie, AddingAgainReplacesTheBucket) {
    TFTrieZone zone;
    TFTrie trie(true, &zone);
    TFTrieBucket first, second;
    trie.addBucket(&first, "/a/b");
    trie.addBucket(&second, "/a/b");
    EXPECT_EQ(trie.bucketForString("/a/b"), &second);
    EXPECT_EQ(trie.count(), 1u);
    EXPECT_THROW(trie.addBucket(nullptr, "/a/c"), std::exception);
    EXPECT_EQ(trie.bucketForString("/a/c"), nullptr);
}

TEST(TFTrie, CaseInsensitiveFoldsAsciiOnly) {
    TFTrieZone zone;
    TFTrie trie(false, &zone);
    TFTrieBucket b, e;
    trie.addBucket(&b, "/Applications/Foo");
    trie.addBucket(&e, "/caf\xC3\x89");
    EXPECT_EQ(trie.bucketForString("/applications/FOO"), &b);
    EXPECT_EQ(trie.bucketForString("/caf\xC3\x89"), &e);
    EXPECT_EQ(trie.bucketForString("/CAF\xC3\x89"), &e);
    EXPECT_EQ(trie.bucketForString("/caf\xC3\xA9"), nullptr); // not ASCII: not folded
}

TEST(TFTrie, SharesFoldersAndBytesAreKept) {
    TFTrieZone zone;
    TFTrie trie(true, &zone);
    std::vector<TFTrieBucket> buckets(3);
    trie.addBucket(&buckets[0], "/usr/bin/ls");
    trie.addBucket(&buckets[1], "/usr/bin/cat");
    trie.addBucket(&buckets[2], std::string("/usr/b\0in/\xFF", 11));
    // "", "usr", "bin", "ls", "cat", "b\0in", "\xFF"
    EXPECT_EQ(trie.nodeCount(), 7u);
    EXPECT_EQ(trie.bucketForString(std::string("/usr/b\0in/\xFF", 11)), &buckets[2]);
    EXPECT_EQ(trie.bucketForString("/usr/b"), nullptr);
}

TEST(TFTrie, ManyEntriesInOneFolderAndDeepPaths) {
    TFTrieZone zone;
    TFTrie trie(true, &zone);
    std::vector<TFTrieBucket> buckets(20000);
    std::string deep;
    for (int i = 0; i < 20000; ++i) {
        if (i < 10000) {
            trie.addBucket(&buckets[i], "/usr/share/doc/package-" + std::to_string(i));
        } else {
            deep += "/d" + std::to_string(i % 7);
            trie.addBucket(&buckets[i], deep);
        }
    }
    EXPECT_EQ(trie.count(), 20000u);
    for (int i = 0; i < 10000; ++i)
        ASSERT_EQ(trie.bucketForString("/usr/share/doc/package-" + std::to_string(i)), &buckets[i])
            << i;
    EXPECT_EQ(trie.bucketForString("/usr/share/doc/package-10000"), nullptr);
    EXPECT_EQ(trie.bucketForString(deep), &buckets[19999]);
    EXPECT_EQ(trie.bucketForString(deep + "/d0"), nullptr);
    // The child table grew many times; the zone gave back every old copy.
    size_t table = 1;
    while (table * 7 < trie.nodeCount() * 10)
        table *= 2;
    EXPECT_LT(zone.bytesInUse(), zone.bytesReserved() + 1);
    EXPECT_LT(zone.bytesReserved(), trie.nodeCount() * 64 + table * sizeof(void*) + 128 * 1024);
}

TEST(TFTrieZone, LargeBlocksAreReturnedSmallOnesStay) {
    TFTrieZone zone(64 * 1024);
    void* small = zone.allocate(100, 8);
    size_t afterSmall = zone.bytesReserved();
    EXPECT_EQ(afterSmall, 64u * 1024);
    void* large = zone.allocate(1 << 20, 64);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(large) % 64, 0u);
    EXPECT_EQ(zone.bytesReserved(), afterSmall + (1 << 20));
    zone.deallocate(large, 1 << 20, 64);
    EXPECT_EQ(zone.bytesReserved(), afterSmall);
    zone.deallocate(small, 100, 8);
    EXPECT_EQ(zone.bytesReserved(), afterSmall);
    // Small requests fill a chunk before another is taken: 630 blocks of
    // 100 bytes, 8-aligned, fit in 64 KiB.
    for (int i = 1; i < 630; ++i)
        ASSERT_EQ(reinterpret_cast<uintptr_t>(zone.allocate(100, 8)) % 8, 0u);
    EXPECT_EQ(zone.bytesReserved(), 64u * 1024);
    EXPECT_NE(zone.allocate(100, 8), nullptr);
    EXPECT_EQ(zone.bytesReserved(), 2u * 64 * 1024);
}

} // namespace
