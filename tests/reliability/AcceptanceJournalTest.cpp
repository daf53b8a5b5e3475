// The acceptance journal on its own: what survives a reopen, a torn line and
// paths no text file would keep straight.

#include "filing/AcceptanceJournal.h"

#include "TestSupport.h"

#include <filesystem>
#include <fstream>

using TestSupport::createFileWithContents;
using TestSupport::readWholeFile;
using Destination = AcceptanceJournal::Destination;

class AcceptanceJournalTest : public SandboxedTest {
protected:
    void TearDown() override { fJournal.close(); }
    std::string journal() const { return fSandbox.file("state/journal.txt"); }
    AcceptanceJournal::Record record(const std::string& item, Destination where = Destination::MirrorSiteFolder)
    {
        createFileWithContents(fSandbox.file("Source/" + item), "photo " + item);
        AcceptanceJournal::Record r;
        r.sourceRoot = fSandbox.file("Source");
        r.item = item;
        r.destination = where;
        r.destRoot = fSandbox.file(where == Destination::MirrorSiteFolder ? "Mirror" : "Problem Folder");
        EXPECT_TRUE(AcceptanceJournal::identify(r.photoPath(), r.size, r.modifiedNs));
        return r;
    }
    AcceptanceJournal fJournal;
};

TEST_F(AcceptanceJournalTest, PendingRecordsSurviveAReopenAndFiledOnesDoNot)
{
    ASSERT_TRUE(fJournal.open(journal()));
    const auto a = record("Adams/IMG_1.jpg");
    auto b = record("Baker/IMG_2.jpg", Destination::ProblemFolder);
    b.movie = "Baker/IMG_2.mov";
    ASSERT_TRUE(fJournal.recordAcceptance(a));
    ASSERT_TRUE(fJournal.recordAcceptance(b));
    fJournal.recordFiled(a);
    fJournal.close(); // as after a kill: the lines are in the file

    AcceptanceJournal again;
    ASSERT_TRUE(again.open(journal()));
    const auto pending = again.pending();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].item, "Baker/IMG_2.jpg");
    EXPECT_EQ(pending[0].destination, Destination::ProblemFolder);
    EXPECT_EQ(pending[0].destRoot, b.destRoot);
    EXPECT_EQ(pending[0].movie, "Baker/IMG_2.mov");
    EXPECT_TRUE(again.pendingFor(b.photoPath()));
    EXPECT_FALSE(again.pendingFor(a.photoPath()));
    again.close();
}

TEST_F(AcceptanceJournalTest, ARecordMatchesOnlyThePhotoItWasMadeFor)
{
    ASSERT_TRUE(fJournal.open(journal()));
    const auto a = record("Adams/IMG_1.jpg");
    ASSERT_TRUE(fJournal.recordAcceptance(a));
    EXPECT_TRUE(fJournal.pendingFor(a.photoPath()));
    // A new photo under the same name is a different photo.
    createFileWithContents(a.photoPath(), "another photo, longer than the first");
    EXPECT_FALSE(fJournal.pendingFor(a.photoPath()));
    std::filesystem::remove(a.photoPath());
    EXPECT_FALSE(fJournal.pendingFor(a.photoPath()));
    EXPECT_EQ(fJournal.pending().size(), 1u) << "the record itself stays until the photo is filed";
}

TEST_F(AcceptanceJournalTest, ATornLastLineIsDroppedAndTheNextRecordsAreKept)
{
    ASSERT_TRUE(fJournal.open(journal()));
    const auto a = record("Adams/IMG_1.jpg");
    const auto b = record("Adams/IMG_2.jpg");
    ASSERT_TRUE(fJournal.recordAcceptance(a));
    ASSERT_TRUE(fJournal.recordAcceptance(b));
    fJournal.close();
    // A kill in the middle of the second line's write.
    const std::string whole = readWholeFile(journal());
    const size_t firstEnd = whole.find('\n');
    ASSERT_NE(firstEnd, std::string::npos);
    std::filesystem::resize_file(journal(), firstEnd + 1 + (whole.size() - firstEnd - 1) / 2);

    AcceptanceJournal again;
    ASSERT_TRUE(again.open(journal()));
    ASSERT_EQ(again.pending().size(), 1u);
    EXPECT_EQ(again.pending()[0].item, "Adams/IMG_1.jpg");
    // What comes after the torn line is read on the next start.
    const auto c = record("Adams/IMG_3.jpg");
    ASSERT_TRUE(again.recordAcceptance(c));
    again.close();
    AcceptanceJournal third;
    ASSERT_TRUE(third.open(journal()));
    EXPECT_EQ(third.pending().size(), 2u);
    EXPECT_TRUE(third.pendingFor(c.photoPath()));
    third.close();
}

TEST_F(AcceptanceJournalTest, GarbageAndBitFlipsAreNotTakenForRecords)
{
    ASSERT_TRUE(fJournal.open(journal()));
    const auto a = record("Adams/IMG_1.jpg");
    ASSERT_TRUE(fJournal.recordAcceptance(a));
    fJournal.close();
    std::string text = readWholeFile(journal());
    text[text.size() / 2] ^= 0x01; // the check sum catches it
    text += "garbage\t\t\n\x01\x02\n";
    createFileWithContents(journal(), text);
    AcceptanceJournal again;
    ASSERT_TRUE(again.open(journal()));
    EXPECT_TRUE(again.pending().empty());
    again.close();
}

TEST_F(AcceptanceJournalTest, PathsWithTabsLineBreaksAndPercentSignsComeBackAsTheyWere)
{
    ASSERT_TRUE(fJournal.open(journal()));
    const auto a = record("Ad\tams/IMG %41\n1.jpg");
    ASSERT_TRUE(fJournal.recordAcceptance(a));
    fJournal.close();
    AcceptanceJournal again;
    ASSERT_TRUE(again.open(journal()));
    ASSERT_EQ(again.pending().size(), 1u);
    EXPECT_EQ(again.pending()[0].item, "Ad\tams/IMG %41\n1.jpg");
    EXPECT_TRUE(again.pendingFor(a.photoPath()));
    again.close();
}

TEST_F(AcceptanceJournalTest, LinesAreFlushedInBatchesNotOneAPhoto)
{
    ASSERT_TRUE(fJournal.open(journal()));
    fJournal.setFlushPolicy(32, std::chrono::hours(1));
    for (int i = 0; i < 64; ++i) {
        const auto r = record("Adams/IMG_" + std::to_string(i) + ".jpg");
        ASSERT_TRUE(fJournal.recordAcceptance(r));
        fJournal.recordFiled(r);
    }
    EXPECT_EQ(fJournal.counters().lines, 128u);
    EXPECT_EQ(fJournal.counters().flushes, 4u);
    EXPECT_TRUE(fJournal.pending().empty());
}

TEST_F(AcceptanceJournalTest, AJournalThatCannotBeWrittenSaysSo)
{
    createFileWithContents(fSandbox.file("state"), "a file where the state folder should be");
    std::string error;
    EXPECT_FALSE(fJournal.open(journal(), &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(fJournal.isOpen());
}
