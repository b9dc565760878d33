#include "Base/AppPaths.h"
#include "Platform/FileIO.h"
#include "Platform/Queues.h"
#include "Platform/StoreRecovery.h"
#include "Platform/UUID.h"
#include "SelfTest/HubBridgeCases.h"
#include "SelfTest/HubPageSource.h"
#include "SelfTest/SelfTest.h"
#include "SelfTest/TextSelfTestSupport.h"
#include "Text/StagingBuffer.h"

#include <fstream>
#include <memory>
#include <set>

namespace fs = std::filesystem;
using TextSelfTestSupport::quotedList;

namespace StagingSelfTests {

fs::path temporaryStorageURL() {
    return AppPaths::applicationSupport() / ("staging_selftest_" + platform::newUUID() + ".json");
}

SelfTestOutcome withTemporaryBuffer(const StagingLimits& limits,
                                    const std::function<SelfTestOutcome(StagingBuffer&)>& body) {
    const fs::path file = temporaryStorageURL();
    SelfTestOutcome outcome;
    {
        StagingBuffer buffer(file, limits);
        outcome = body(buffer);
    }
    SelfTestSupport::removeIfPresent(file);
    return outcome;
}

namespace {

std::vector<std::string> texts(const StagingBuffer& buffer) {
    std::vector<std::string> out;
    for (const auto& e : buffer.allEntries()) out.push_back(e.text);
    return out;
}

StagingEntry entry(const std::string& text) { return {platform::newUUID(), text, std::chrono::system_clock::now(), false}; }

std::string flags(const StagingBuffer& buffer) {
    std::string out = "[";
    bool first = true;
    for (const auto& e : buffer.allEntries()) {
        out += std::string(first ? "" : ", ") + (e.polished ? "true" : "false");
        first = false;
    }
    return out + "]";
}

}  // namespace

std::vector<SelfTestCase> cases() {
    const StagingLimits defaults = StagingLimits::defaults();
    std::vector<SelfTestCase> out;

    out.push_back({"takeAll composes then empties the buffer; a second takeAll returns empty",
                   "a takeAll that joined the text but did not clear the entries, or cleared memory without persisting, "
                   "would let a second commit paste the same text again (a double paste)",
                   [defaults] {
                       return withTemporaryBuffer(defaults, [](StagingBuffer& b) {
                           b.append("hello", false);
                           b.append("world", true);
                           const std::string first = b.takeAll(StagingJoiner::space);
                           const std::size_t count = b.count();
                           const std::string second = b.takeAll(StagingJoiner::space);
                           if (first != "hello world")
                               return SelfTestOutcome::fail("first takeAll: expected 'hello world', got '" + first + "'");
                           if (count != 0)
                               return SelfTestOutcome::fail("expected buffer empty immediately after takeAll, count=" +
                                                            std::to_string(count));
                           if (!second.empty())
                               return SelfTestOutcome::fail("second takeAll: expected '', got '" + second +
                                                            "' — DOUBLE PASTE");
                           return SelfTestOutcome::pass();
                       });
                   }});

    const std::vector<std::tuple<const char*, StagingJoiner, const char*>> joiners = {
        {"space", StagingJoiner::space, "a b c"},
        {"newline", StagingJoiner::newline, "a\nb\nc"},
        {"blankLine", StagingJoiner::blankLine, "a\n\nb\n\nc"}};
    for (const auto& [name, joiner, expected] : joiners) {
        const std::string n = name, e = expected;
        const StagingJoiner j = joiner;
        out.push_back({"compose joins entries with the " + n + " joiner exactly",
                       "if the separator for the " + n +
                           " joiner were wrong (for example blankLine collapsed to a single "
                           "line feed, or newline written as carriage return plus line feed) this exact-string assertion "
                           "catches it at once; compose is pure, so the case needs no disk and cannot flake",
                       [n, e, j] {
                           const std::string result = StagingBuffer::compose({entry("a"), entry("b"), entry("c")}, j);
                           if (result == e) return SelfTestOutcome::pass();
                           return SelfTestOutcome::fail("compose(" + n + "): expected " + e + ", got " + result);
                       }});
    }

    out.push_back(
        {"persistence: a fresh StagingBuffer instance pointed at the same file sees the prior instance's "
         "entries, in order, with polished flags intact",
         "an append that did not persist, or persisted the wrong shape, would leave a second instance (after "
         "a relaunch) with an empty or wrong buffer although the first instance's writes reported success",
         [defaults] {
             const fs::path file = temporaryStorageURL();
             SelfTestOutcome outcome = SelfTestOutcome::pass();
             {
                 StagingBuffer a(file, defaults);
                 a.append("first entry", true);
                 a.append("second entry", false);
                 StagingBuffer b(file, defaults);
                 if (texts(b) != std::vector<std::string>{"first entry", "second entry"})
                     outcome = SelfTestOutcome::fail("expected texts in order, got " + quotedList(texts(b)));
                 else if (flags(b) != "[true, false]")
                     outcome = SelfTestOutcome::fail("expected polished flags [true, false], got " + flags(b));
             }
             SelfTestSupport::removeIfPresent(file);
             return outcome;
         }});
    out.push_back({"corrupt JSON on disk yields an empty buffer that takes the next append, the file kept aside",
                   "force-decoding the file would make a hand-edited or half-written staging file crash the whole "
                   "application at the next launch; refusing to write over it would turn staging off for good; "
                   "writing over it would lose whatever the user's entries in it were",
                   [defaults] {
                       const fs::path file = temporaryStorageURL();
                       const std::string damaged = "{ this is not valid json [[[";
                       { std::ofstream(file) << damaged; }
                       std::size_t count = 0;
                       bool appended = false;
                       {
                           StagingBuffer b(file, defaults);
                           count = b.count();
                           appended = b.append("after the damage", false).isAppended();
                       }
                       std::size_t reloaded = StagingBuffer(file, defaults).count();
                       std::vector<std::string> kept;
                       std::error_code ec;
                       for (const auto& entry : fs::directory_iterator(file.parent_path(), ec)) {
                           if (entry.path().filename().string().rfind(file.filename().string() + ".damaged-", 0) != 0)
                               continue;
                           kept.push_back(platform::readFile(entry.path()).value_or(""));
                           fs::remove(entry.path(), ec);
                       }
                       platform::takeSetAsideNotices();
                       fs::remove(file, ec);
                       if (count != 0)
                           return SelfTestOutcome::fail("expected empty buffer from corrupt JSON, got " +
                                                        std::to_string(count) + " entries");
                       if (!appended || reloaded != 1)
                           return SelfTestOutcome::fail("the next append after corrupt JSON was not staged (" +
                                                        std::to_string(reloaded) + " entries on reload)");
                       if (kept != std::vector<std::string>{damaged})
                           return SelfTestOutcome::fail("expected the corrupt file kept aside unchanged, found " +
                                                        std::to_string(kept.size()) + " moved-aside copies");
                       return SelfTestOutcome::pass();
                   }});
    out.push_back({"missing file on disk yields an empty buffer, not a crash",
                   "the very first launch, before any staging file exists, must not crash", [defaults] {
                       StagingBuffer b(temporaryStorageURL(), defaults);
                       if (b.count() == 0) return SelfTestOutcome::pass();
                       return SelfTestOutcome::fail("expected empty buffer for a missing file, got " +
                                                    std::to_string(b.count()) + " entries");
                   }});
    out.push_back({"move relocates the right entry to the right index, full order asserted",
                   "a reorder that moved the wrong entry, dropped one or duplicated one would often pass a count-only "
                   "check, so the whole resulting order is asserted",
                   [defaults] {
                       return withTemporaryBuffer(defaults, [](StagingBuffer& b) {
                           for (const char* t : {"a", "b", "c", "d"})
                               if (!b.append(t, false).isAppended())
                                   return SelfTestOutcome::fail("unreachable: append rejected under default limits");
                           if (!b.move(b.allEntries().front().id, 2))
                               return SelfTestOutcome::fail("move returned false for a present id");
                           const std::vector<std::string> expected = {"b", "c", "a", "d"};
                           if (texts(b) != expected)
                               return SelfTestOutcome::fail("order after moving 'a' to index 2: expected " +
                                                            quotedList(expected) + ", got " + quotedList(texts(b)));
                           return SelfTestOutcome::pass();
                       });
                   }});
    out.push_back({"move returns false for an id that is not present, and leaves the buffer untouched",
                   "a move that silently did nothing for an id that is not in the buffer could hide a stale id after a "
                   "concurrent delete behind an apparently successful reorder",
                   [defaults] {
                       return withTemporaryBuffer(defaults, [](StagingBuffer& b) {
                           b.append("only", false);
                           const auto before = texts(b);
                           const bool ok = b.move(platform::newUUID(), 0);
                           const auto after = texts(b);
                           if (!ok && before == after) return SelfTestOutcome::pass();
                           return SelfTestOutcome::fail(
                               "expected move to fail and buffer unchanged; ok=" + TextSelfTestSupport::boolText(ok) +
                               " before=" + quotedList(before) + " after=" + quotedList(after));
                       });
                   }});
    out.push_back(
        {"entry-count cap: Nth append succeeds, (N+1)th is rejected, count never exceeds N",
         "an off-by-one in the count comparison (strictly-less instead of less-or-equal, or checking before "
         "adding the candidate) would reject one entry early or admit one over the cap; both sides of the "
         "boundary are pinned",
         [] {
             return withTemporaryBuffer(StagingLimits{3, 1000000}, [](StagingBuffer& b) {
                 for (int i = 0; i < 3; ++i)
                     if (!b.append("e" + std::to_string(i), false).isAppended())
                         return SelfTestOutcome::fail("expected append #" + std::to_string(i) +
                                                      " (within cap of 3) to succeed");
                 if (b.count() != 3)
                     return SelfTestOutcome::fail("expected count==3 at the cap, got " + std::to_string(b.count()));
                 auto fourth = b.append("e3", false);
                 if (fourth.kind != StagingAppendResult::Kind::rejectedEntryCap)
                     return SelfTestOutcome::fail("expected the 4th append to be rejectedEntryCap, got " +
                                                  fourth.description());
                 if (b.count() != 3)
                     return SelfTestOutcome::fail("count must not exceed the cap after a rejected append: expected 3, got " +
                                                  std::to_string(b.count()));
                 return SelfTestOutcome::pass();
             });
         }});
    out.push_back({"byte cap: append fitting exactly at the cap succeeds, one more byte is rejected",
                   "summing before adding the candidate, or comparing the old total, would refuse a value that fits "
                   "exactly or admit one that overflows; both edges of a 10-byte cap are pinned",
                   [] {
                       return withTemporaryBuffer(StagingLimits{1000, 10}, [](StagingBuffer& b) {
                           if (!b.append("12345", false).isAppended())
                               return SelfTestOutcome::fail("expected 5-byte append to succeed under a 10-byte cap");
                           if (!b.append("67890", false).isAppended())
                               return SelfTestOutcome::fail("expected append landing exactly at the 10-byte cap to succeed");
                           auto third = b.append("x", false);
                           if (third.kind != StagingAppendResult::Kind::rejectedByteCap)
                               return SelfTestOutcome::fail("expected the 11th byte to be rejectedByteCap, got " +
                                                            third.description());
                           if (b.count() != 2)
                               return SelfTestOutcome::fail(
                                   "the rejected-by-bytes append must not land in the buffer: expected 2, got " +
                                   std::to_string(b.count()));
                           return SelfTestOutcome::pass();
                       });
                   }});
    out.push_back(
        {"concurrent appends from multiple queues: final count is exact, every id unique",
         "a missing or too fine-grained lock (one that covers the count check but not the whole read, modify "
         "and persist) would let two queues start from the same state and lose an append or corrupt the list",
         [] {
             const fs::path file = temporaryStorageURL();
             SelfTestOutcome outcome = SelfTestOutcome::pass();
             {
                 StagingBuffer buffer(file, StagingLimits{10000, 10000000});
                 std::vector<std::unique_ptr<platform::SerialQueue>> queues;
                 platform::Semaphore done;
                 for (int k = 0; k < 8; ++k) {
                     queues.push_back(std::make_unique<platform::SerialQueue>("com.ondira.selftest.staging.concurrent." +
                                                                              std::to_string(k)));
                     queues.back()->async([&buffer, &done, k] {
                         for (int j = 0; j < 25; ++j)
                             buffer.append("q" + std::to_string(k) + "-" + std::to_string(j), false);
                         done.signal();
                     });
                 }
                 const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                 bool timedOut = false;
                 for (int k = 0; k < 8 && !timedOut; ++k) {
                     const double left = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
                     timedOut = left <= 0 || !done.wait(left);
                 }
                 if (timedOut) {
                     outcome = SelfTestOutcome::fail("concurrent appends did not complete within 10s");
                 } else {
                     auto entries = buffer.allEntries();
                     std::set<std::string> ids;
                     for (const auto& e : entries) ids.insert(e.id);
                     if (entries.size() != 200)
                         outcome = SelfTestOutcome::fail("expected exactly " + std::to_string(200) + " entries, got " +
                                                         std::to_string(entries.size()) + " — lost or duplicated appends");
                     else if (ids.size() != 200)
                         outcome = SelfTestOutcome::fail("every appended entry must have a unique id: expected " +
                                                         std::to_string(200) + ", got " + std::to_string(ids.size()));
                 }
                 for (auto& q : queues) q->drain();
             }
             SelfTestSupport::removeIfPresent(file);
             return outcome;
         }});
    out.push_back({"replaceText edits the right entry's text and persists it",
                   "an edit of the wrong index (stale id lookup) or one that was not persisted would lose the reviewed "
                   "correction at the next read or relaunch",
                   [defaults] {
                       const fs::path file = temporaryStorageURL();
                       SelfTestOutcome outcome = SelfTestOutcome::pass();
                       const std::vector<std::string> expected = {"AAA-edited", "bbb"};
                       {
                           StagingBuffer b(file, defaults);
                           auto first = b.append("aaa", false);
                           b.append("bbb", false);
                           if (!first.isAppended()) outcome = SelfTestOutcome::fail("append rejected");
                           else if (!b.replaceText(first.id, "AAA-edited"))
                               outcome = SelfTestOutcome::fail("replaceText reported failure for a present id");
                           else if (texts(b) != expected)
                               outcome = SelfTestOutcome::fail("expected edited text in place, got " + quotedList(texts(b)));
                           else {
                               StagingBuffer again(file, defaults);
                               if (texts(again) != expected)
                                   outcome =
                                       SelfTestOutcome::fail("edit must survive a fresh instance: expected " +
                                                             quotedList(expected) + ", got " + quotedList(texts(again)));
                           }
                       }
                       SelfTestSupport::removeIfPresent(file);
                       return outcome;
                   }});
    out.push_back({"delete removes only the targeted entry; clear empties everything",
                   "a delete of the wrong entry, or a clear that left entries on disk, would bring deleted text back",
                   [defaults] {
                       return withTemporaryBuffer(defaults, [](StagingBuffer& b) {
                           if (!b.append("keep-a", false).isAppended()) return SelfTestOutcome::fail("append a rejected");
                           if (!b.append("drop-b", false).isAppended()) return SelfTestOutcome::fail("append b rejected");
                           auto entries = b.allEntries();
                           if (entries.empty()) return SelfTestOutcome::fail("missing id for b");
                           if (!b.remove(entries.back().id))
                               return SelfTestOutcome::fail("delete reported failure for a present id");
                           if (texts(b) != std::vector<std::string>{"keep-a"})
                               return SelfTestOutcome::fail("expected only 'keep-a' left, got " + quotedList(texts(b)));
                           b.clear();
                           if (b.count() != 0) return SelfTestOutcome::fail("expected empty buffer after clear");
                           return SelfTestOutcome::pass();
                       });
                   }});
    out.push_back({"take(ids:) commits only the named entries, in buffer order, leaving the rest staged",
                   "joining in the order the ids were passed instead of the buffer's order, or not removing exactly the "
                   "taken ids, would scramble a multi-entry commit or leave a duplicate behind",
                   [defaults] {
                       return withTemporaryBuffer(defaults, [](StagingBuffer& b) {
                           auto one = b.append("one", false);
                           b.append("two", false);
                           auto three = b.append("three", false);
                           if (!one.isAppended()) return SelfTestOutcome::fail("append 1 rejected");
                           if (!three.isAppended()) return SelfTestOutcome::fail("append 3 rejected");
                           const std::string result = b.take({three.id, one.id}, StagingJoiner::space);
                           if (result != "one three")
                               return SelfTestOutcome::fail("expected 'one three' (buffer order), got '" + result + "'");
                           if (texts(b) != std::vector<std::string>{"two"})
                               return SelfTestOutcome::fail("only the untaken entry should remain staged: expected " +
                                                            quotedList({"two"}) + ", got " + quotedList(texts(b)));
                           return SelfTestOutcome::pass();
                       });
                   }});
    // The hub's cases close the suite: its bridge parsers and rows, then its page.
    for (auto& c : StagingHubCases()) out.push_back(std::move(c));
    for (auto& c : StagingPageCases()) out.push_back(std::move(c));
    return out;
}

}  // namespace StagingSelfTests

ONDIRA_SELFTEST_SUITE("Staging", StagingSelfTests::cases);
