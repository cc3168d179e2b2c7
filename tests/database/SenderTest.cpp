// What goes into the table and when, against an in-memory table and real
// capture files: each step runs at once and says how long it would wait, so
// no test waits for a back-off.
#include "Sender.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

using namespace kelmor;
using namespace kelmor::database;
using namespace std::chrono_literals;

namespace {

class MemoryTable final : public Table {
public:
    std::map<std::pair<std::string, std::uint64_t>, std::string> rows;
    int transactions = 0;
    bool down = false;
    int drops = 0;                        // inserts that find the connection gone
    std::size_t timesOutAbove = SIZE_MAX; // rows in one statement
    std::optional<std::uint64_t> refusedOffset;
    std::optional<Failure> connectFails;

    std::optional<Failure> connect() override {
        if (down || connectFails)
            return down ? unreachable() : connectFails;
        open_ = true;
        return std::nullopt;
    }
    bool isOpen() const override { return open_; }
    void close() override { open_ = false; }
    std::optional<Failure> sources(const std::string& base,
                                   std::vector<std::string>& found) override {
        if (down)
            return unreachable();
        found.clear();
        for (const auto& [key, text] : rows)
            if ((key.first == base || key.first.rfind(base + " #", 0) == 0) &&
                (found.empty() || found.back() != key.first))
                found.push_back(key.first);
        return std::nullopt;
    }
    std::optional<Failure> lastRow(const std::string& source, std::optional<Row>& last) override {
        last.reset();
        for (const auto& [key, text] : rows)
            if (key.first == source)
                last = Row{key.second, text};
        return down ? unreachable() : std::nullopt;
    }
    std::optional<Failure> textAt(const std::string& source, std::uint64_t offset,
                                  std::optional<std::string>& text) override {
        const auto it = rows.find({source, offset});
        text = it == rows.end() ? std::nullopt : std::optional(it->second);
        return down ? unreachable() : std::nullopt;
    }
    std::optional<Failure> insert(const std::string& source, const std::string&,
                                  const std::vector<RowToInsert>& batch,
                                  std::size_t perStatement) override {
        if (down || drops > 0) {
            drops = std::max(0, drops - 1);
            open_ = false;
            return unreachable();
        }
        if (std::min(perStatement, batch.size()) > timesOutAbove)
            return Failure{Failure::Kind::TimedOut, "HYT00", "timeout"};
        auto added = rows;
        for (const RowToInsert& r : batch) {
            if (r.row->offset == refusedOffset)
                return Failure{Failure::Kind::KeyTaken, "23503", "violates foreign key"};
            if (!added.emplace(std::pair{source, r.row->offset}, r.row->text).second)
                return Failure{Failure::Kind::KeyTaken, "23505", "duplicate key"};
            times.push_back(r.receivedAt);
        }
        rows = std::move(added);
        ++transactions;
        return std::nullopt;
    }
    std::vector<Clock::time_point> times;

    // The text of a source's rows, in order.
    std::string textOf(const std::string& source) const {
        std::string out;
        for (const auto& [key, text] : rows)
            if (key.first == source)
                out += text + "|";
        return out;
    }

private:
    static std::optional<Failure> unreachable() {
        return Failure{Failure::Kind::Unreachable, "08001", "refused"};
    }
    bool open_ = false;
};

struct Rig {
    test::TempDir dir;
    std::string file = dir / "cap.txt";
    Outbox outbox;
    MemoryTable table;
    Settings settings{"Driver=x;Pwd=secret", "records", ""};
    Sender sender{outbox, table, settings, [] { return std::string("host"); }};
    Clock::time_point t0 = Clock::now();
    std::uint64_t size = 0;

    std::string source() const { return "host:" + std::filesystem::canonical(file).string(); }
    void follow(const std::string& name = {}) {
        if (!name.empty())
            file = dir / name;
        size = std::filesystem::exists(file) ? std::filesystem::file_size(file) : 0;
        outbox.follow(file, "Comm 3", Mark{size, t0});
    }
    // Appends to the capture file; durable (and the store told) only if said.
    void write(const std::string& bytes, bool tell = true) {
        std::ofstream(file, std::ios::binary | std::ios::app) << bytes;
        size += bytes.size();
        if (tell)
            outbox.stored(Mark{size, t0 + std::chrono::seconds(size)});
    }
    // Steps until the sender would wait; the pauses it asked for on the way.
    std::vector<Sender::Pause> drain() {
        std::vector<Sender::Pause> waits;
        for (int i = 0; i < 10000; ++i) {
            const Sender::Pause p = sender.step();
            if (p.count() > 0) {
                waits.push_back(p);
                return waits;
            }
        }
        ADD_FAILURE() << "the sender never came to rest";
        return waits;
    }
    std::vector<std::string> said() { return std::exchange(outbox.messages, {}); }
};

TEST(Sender, AStoreEndsAPieceButManyStoresGoInOneTransaction) {
    Rig rig;
    rig.follow();
    // A device without STX: a line in three stores, then a line end.
    for (const char* store : {"\rAB ", "CD ", "EF ", "\rGH "})
        rig.write(store);
    rig.drain();
    EXPECT_EQ(rig.table.textOf(rig.source()), "|AB |CD |EF |GH |");
    EXPECT_EQ(rig.table.transactions, 1);
    // Each row dated by the store that brought its first byte.
    ASSERT_EQ(rig.table.times.size(), 5u);
    EXPECT_EQ(rig.table.times[2], rig.t0 + 7s);
}

TEST(Sender, NothingPastWhatAStoreMadeDurableIsRead) {
    Rig rig;
    rig.follow();
    rig.write("\rA \rB ");
    rig.write("\rC \rD ", false); // written, not yet durable
    rig.drain();
    EXPECT_EQ(rig.table.textOf(rig.source()), "|A |B |");
    rig.outbox.stored(Mark{rig.size, rig.t0});
    rig.drain();
    EXPECT_EQ(rig.table.textOf(rig.source()), "|A |B |C |D |");
}

TEST(Sender, BackOffDoublesToAMinuteAndStartsAgainOnceRowsWentIn) {
    Rig rig;
    rig.follow();
    rig.write("\rA ");
    rig.table.down = true;
    std::vector<long> waits;
    for (int i = 0; i < 8; ++i)
        waits.push_back(static_cast<long>(rig.drain().back().count()));
    EXPECT_EQ(waits, (std::vector<long>{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000}));
    const auto said = rig.said();
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("Cannot reach the database"), std::string::npos);
    EXPECT_EQ(said[0].find("secret"), std::string::npos);

    rig.table.down = false;
    rig.drain();
    EXPECT_EQ(rig.said(),
              (std::vector<std::string>{
                  "The database is reachable again; the 2 rows kept meanwhile have been sent"}));
    rig.write("\rB ");
    rig.table.down = true;
    EXPECT_EQ(rig.drain().back(), 1000ms);
}

TEST(Sender, ADroppedConnectionIsMadeAgainSilently) {
    Rig rig;
    rig.follow();
    rig.write("\rA ");
    rig.drain();
    // The server restarted while all was quiet: the next insert finds the connection gone.
    rig.table.drops = 1;
    rig.write("\rB ");
    rig.drain();
    EXPECT_TRUE(rig.said().empty());
    EXPECT_EQ(rig.table.textOf(rig.source()), "|A |B |");
}

TEST(Sender, AKeyThatHoldsTheSameTextIsAlreadyThereAndTheRowsAfterItGoIn) {
    Rig rig;
    rig.follow();
    rig.write("\rA ");
    rig.drain();
    rig.write("\rB \rC \rD ");
    rig.table.rows[{rig.source(), 4}] = "B "; // a commit whose answer was lost
    rig.drain();
    EXPECT_EQ(rig.table.textOf(rig.source()), "|A |B |C |D |");
    EXPECT_TRUE(rig.said().empty());
}

TEST(Sender, AnotherCaptureUnderTheSameSourceLosesNoRowOfEither) {
    Rig rig;
    rig.settings.source = "lab";
    Sender sender{rig.outbox, rig.table, rig.settings, [] { return std::string("host"); }};
    rig.follow();
    rig.write("\rA ");
    while (sender.step() == 0ms) {
    }
    rig.table.rows[{"lab", 4}] = "theirs"; // the other one's line, where this one's B goes
    rig.write("\rB \rC ");
    while (sender.step() == 0ms) {
    }
    EXPECT_EQ(rig.table.textOf("lab"), "|A |theirs|");
    EXPECT_EQ(rig.table.textOf("lab #1"), "B |C |");
    const auto said = rig.said();
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(
        said[0].find("Another capture writes into table \"records\" under the source \"lab\""),
        std::string::npos);
}

TEST(Sender, ARefusedRowIsSaidOnceWithItsOffsetAndNeverPassed) {
    Rig rig;
    rig.follow();
    rig.write("\rA \rB \rC ");
    rig.table.refusedOffset = 4; // a DBA's foreign key
    EXPECT_EQ(rig.drain().back(), 1000ms);
    EXPECT_EQ(rig.drain().back(), 2000ms);
    EXPECT_EQ(rig.table.textOf(rig.source()), "|A |");
    const auto said = rig.said();
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("refused the row at byte 4"), std::string::npos);
    EXPECT_NE(said[0].find("violates foreign key"), std::string::npos);
    rig.table.refusedOffset.reset();
    rig.drain();
    EXPECT_EQ(rig.table.textOf(rig.source()), "|A |B |C |");
}

TEST(Sender, AStatementOverTheTimeoutIsSplitAndGrowsBack) {
    Rig rig;
    rig.follow();
    for (int i = 0; i < 300; ++i)
        rig.write("\rrecord ");
    rig.table.timesOutAbove = 30;
    rig.drain();
    EXPECT_EQ(rig.table.rows.size(), 301u);
    EXPECT_LE(rig.sender.transactionRows(), 30u * Sender::StatementsPerTransaction);
    rig.table.timesOutAbove = SIZE_MAX;
    for (int i = 0; i < 20; ++i) {
        for (int j = 0; j < 300; ++j)
            rig.write("\rmore ");
        rig.drain();
    }
    EXPECT_EQ(rig.sender.transactionRows(),
              Sender::MostRowsPerStatement * Sender::StatementsPerTransaction);
}

TEST(Sender, ACutMovedOrNewFileGoesInFromItsStartUnderTheNextSuffix) {
    struct Case {
        const char* name;
        std::function<void(Rig&)> change;
        const char* rows; // under the next suffix
    };
    const Case cases[] = {
        {"cut to nothing, then stored into",
         [](Rig& r) {
             std::filesystem::resize_file(r.file, 0);
             r.size = 0;
             r.write("\rX ");
         },
         "|X |"},
        {"moved away and made anew by stores",
         [](Rig& r) {
             std::filesystem::rename(r.file, r.dir / "archive.txt");
             r.size = 0;
             r.write("\rX \rY \rZ ");
         },
         "|X |Y |Z |"},
        {"replaced by a longer file",
         [](Rig& r) {
             test::writeFile(r.dir / "other.txt", "\rP \rQ \rR ");
             std::filesystem::rename(r.dir / "other.txt", r.file);
             r.size = std::filesystem::file_size(r.file);
             r.write("\rX ");
         },
         "|P |Q |R |X |"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.follow();
        rig.write("\rA \rB ");
        rig.drain();
        rig.table.down = true; // the change comes during an outage
        c.change(rig);
        rig.drain();
        rig.table.down = false;
        rig.drain();
        EXPECT_EQ(rig.table.textOf(rig.source()), "|A |B |");
        EXPECT_EQ(rig.table.textOf(rig.source() + " #1"), c.rows);
        const auto said = rig.said();
        EXPECT_TRUE(std::any_of(said.begin(), said.end(), [](const std::string& m) {
            return m.find("replaced or cut behind the program's back") != std::string::npos &&
                   m.ends_with("#1\", from its start");
        }));
    }
}

TEST(Sender, AFileThatCannotBeReadForAMomentIsNotANewFile) {
    Rig rig;
    rig.follow();
    rig.write("\rA ");
    rig.drain();
    rig.write("\rB ");
    // A scanner holds it: here, a folder in its place.
    std::filesystem::rename(rig.file, rig.dir / "held");
    std::filesystem::create_directory(rig.file);
    EXPECT_EQ(rig.drain().back(), 1000ms);
    std::filesystem::remove(rig.file);
    std::filesystem::rename(rig.dir / "held", rig.file);
    rig.drain();
    EXPECT_EQ(rig.table.textOf(rig.source()), "|A |B |");
    EXPECT_EQ(rig.table.rows.size(), 3u);
    const auto said = rig.said();
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("Cannot read the capture file"), std::string::npos);
}

TEST(Sender, AFileWhoseSizeCouldNotBeReadWaitsForTheFirstStore) {
    Rig rig;
    rig.follow();
    rig.write("\rA \rB ");
    rig.drain();
    Outbox outbox; // a new program, which could not read the file's size
    Sender again{outbox, rig.table, rig.settings, [] { return std::string("host"); }};
    outbox.follow(rig.file, "Comm 3", std::nullopt);
    EXPECT_EQ(again.step(), Sender::Idle);
    rig.write("\rC ", false);
    outbox.stored(Mark{rig.size, rig.t0});
    while (again.step() == 0ms) {
    }
    EXPECT_EQ(rig.table.textOf(rig.source()), "|A |B |C |");
    EXPECT_TRUE(outbox.messages.empty()) << "never taken for another file";
}

TEST(Sender, AStartAfterARestartGoesOnAfterTheLastRowAndAfterAPiece) {
    Rig rig;
    rig.follow();
    rig.write("\rA \rB ");
    rig.drain();
    // A new program: its sender knows only the table.
    Outbox outbox;
    Sender again{outbox, rig.table, rig.settings, [] { return std::string("host"); }};
    rig.write("\rC ", false); // stored as the new program starts, not yet told
    outbox.follow(rig.file, "Comm 3", Mark{rig.size - 3, rig.t0});
    while (again.step() == 0ms) {
    }
    outbox.stored(Mark{rig.size, rig.t0});
    while (again.step() == 0ms) {
    }
    EXPECT_EQ(rig.table.textOf(rig.source()), "|A |B |C |");
    EXPECT_TRUE(outbox.messages.empty());
}

TEST(Sender, EveryDurableRowOfAFileLeftBySaveAsStillGoesIn) {
    Rig rig;
    rig.table.down = true;
    rig.follow("a.txt");
    rig.write("\rA1 \rA2 ");
    rig.drain();
    const std::string a = rig.source();
    rig.follow("b.txt");
    rig.write("\rB1 ");
    rig.drain();
    rig.table.down = false;
    rig.drain();
    EXPECT_EQ(rig.table.textOf(a), "|A1 |A2 |");
    EXPECT_EQ(rig.table.textOf(rig.source()), "|B1 |");
}

TEST(Sender, OneFileUnderTwoSpellingsIsOneSource) {
    Rig rig;
    std::filesystem::create_directory_symlink(rig.dir.path(), rig.dir / "link");
    rig.follow();
    rig.write("\rA ");
    rig.drain();
    Outbox outbox;
    Sender again{outbox, rig.table, rig.settings, [] { return std::string("host"); }};
    outbox.follow(rig.dir / "link/./cap.txt", "Comm 3", Mark{rig.size, rig.t0});
    while (again.step() == 0ms) {
    }
    EXPECT_EQ(rig.table.rows.size(), 2u);
}

} // namespace
