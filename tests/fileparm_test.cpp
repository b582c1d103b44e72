// The file record: copies and their shared ancestor chains, clearing, and
// the mapping of file clusters to volume clusters.
#include "model/fileparm.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

FILEPARM named(const char* name, std::uint32_t start)
{
    FILEPARM rec;
    rec.setname(QByteArray(name));
    rec.startcluster = start;
    rec.isdir = 1;
    rec.size = 64;
    auto buf = std::shared_ptr<unsigned char[]>(new unsigned char[64]());
    buf[0] = static_cast<unsigned char>(start);
    rec.dirbuf = buf;
    rec.dataruns = {{start - 2u, 1, 0}};
    return rec;
}

}  // namespace

TEST(FileRecord, CopySharesItsUnchangeableAncestors)
{
    FILEPARM top = named("TOP", 20);
    top.parent = std::make_shared<const FILEPARM>(named("\\", 2));
    FILEPARM mid = named("MID", 30);
    mid.parent = std::make_shared<const FILEPARM>(top);
    mid.entryindex = 7;
    FILEPARM leaf = named("LEAF", 40);
    leaf.parent = std::make_shared<const FILEPARM>(mid);

    auto copy = std::make_unique<FILEPARM>(leaf);
    ASSERT_TRUE(copy->parent && copy->parent->parent && copy->parent->parent->parent);
    EXPECT_EQ(copy->parent->parent->parent->parent, nullptr);
    EXPECT_EQ(copy->parent, leaf.parent);  // shared, and read-only
    EXPECT_STREQ(copy->parent->parent->name.get(), "TOP");
    EXPECT_EQ(copy->parent->entryindex, 7u);
    // The record's own fields are its own.
    EXPECT_NE(copy->name.get(), leaf.name.get());
    copy->name[0] = 'X';
    copy->entryindex = 99;
    EXPECT_STREQ(leaf.name.get(), "LEAF");
    EXPECT_EQ(leaf.entryindex, 0u);

    copy.reset();
    EXPECT_STREQ(leaf.parent->parent->parent->name.get(), "\\");
    EXPECT_EQ(leaf.parent->parent->dirbuf[0], 20);
}

TEST(FileRecord, AssignmentFromOwnParentKeepsTheAncestors)
{
    // The walk replaces a directory by its parent copy: the source lives
    // inside the destination's own chain, and nothing else holds it.
    FILEPARM mid = named("MID", 20);
    mid.parent = std::make_shared<const FILEPARM>(named("\\", 2));
    FILEPARM dir = named("SUB", 30);
    dir.parent = std::make_shared<const FILEPARM>(mid);
    mid.clear();
    dir = *dir.parent;
    EXPECT_STREQ(dir.name.get(), "MID");
    ASSERT_TRUE(dir.parent);
    EXPECT_STREQ(dir.parent->name.get(), "\\");
    EXPECT_EQ(dir.parent->parent, nullptr);

    FILEPARM self = named("SELF", 9);
    const FILEPARM& alias = self;
    self = alias;
    EXPECT_STREQ(self.name.get(), "SELF");
}

TEST(FileRecord, CopyOfUnnamedFileHasNoNameAndNoContents)
{
    FILEPARM file;
    file.size = 5000;
    file.dataruns = {{10, 2, 0}};
    FILEPARM copy = file;
    EXPECT_EQ(copy.name, nullptr);
    EXPECT_EQ(copy.dirbuf, nullptr);
    EXPECT_EQ(copy.size, 5000u);
    EXPECT_EQ(copy.dataruns, file.dataruns);
}

TEST(FileRecord, ClearKeepsOnlyDialogAndStamps)
{
    FILEPARM rec = named("DIR", 12);
    rec.parent = std::make_unique<FILEPARM>(named("\\", 2));
    rec.recordedsize = 77;
    rec.createtime = 0x1234ull << 32;
    rec.writetime = 0x5678ull << 32;
    rec.entryindex = 4;
    rec.clusterhigh = 3;
    rec.entryclusterhigh = 3;
    rec.deleted = 1;
    auto* marker = reinterpret_cast<KOVCore*>(&rec);
    rec.dialog = marker;
    rec.clear();
    EXPECT_EQ(rec.namelen, 0);
    EXPECT_EQ(rec.name, nullptr);
    EXPECT_EQ(rec.dirbuf, nullptr);
    EXPECT_TRUE(rec.dataruns.empty());
    EXPECT_EQ(rec.parent, nullptr);
    EXPECT_EQ(rec.size, 0u);
    EXPECT_EQ(rec.isdir, 0);
    EXPECT_EQ(rec.entryindex, 0u);
    EXPECT_EQ(rec.clusterhigh, 0);
    EXPECT_EQ(rec.entryclusterhigh, 0);
    EXPECT_EQ(rec.startcluster, 0u);
    EXPECT_EQ(rec.deleted, 0);
    EXPECT_EQ(rec.dialog, marker);
    EXPECT_EQ(rec.recordedsize, 77u);
    EXPECT_EQ(rec.createtime, 0x1234ull << 32);
    EXPECT_EQ(rec.writetime, 0x5678ull << 32);
}

TEST(FileRecord, DeepChainCopiesAndDiesWithoutRecursion)
{
    // A hundred thousand levels would overflow the stack if copying or
    // releasing recursed once per level.
    std::shared_ptr<const FILEPARM> chain;
    for (int i = 0; i < 100000; ++i) {
        FILEPARM rec;
        rec.parent = std::move(chain);
        chain = std::make_shared<const FILEPARM>(rec);
    }
    FILEPARM top = named("\\", 2);
    top.parent = std::move(chain);
    FILEPARM copy = top;
    int depth = 0;
    for (const FILEPARM* p = copy.parent.get(); p; p = p->parent.get())
        ++depth;
    EXPECT_EQ(depth, 100000);
    top.clear();
}

TEST(FileRecord, Vcn2lcnFollowsRunsInOrder)
{
    FILEPARM file;
    EXPECT_EQ(file.vcn2lcn(0), ~0ull);
    file.dataruns = {{100, 3, 0}, {50, 2, 3}};
    const std::uint64_t expected[] = {100, 101, 102, 50, 51};
    for (std::uint64_t vcn = 0; vcn < 5; ++vcn)
        EXPECT_EQ(file.vcn2lcn(vcn), expected[vcn]) << vcn;
    EXPECT_EQ(file.vcn2lcn(5), ~0ull);
    EXPECT_EQ(file.vcn2lcn(~0ull), ~0ull);
}
