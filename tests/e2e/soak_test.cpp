// A long session of random playing against two JACK synthesizers: clicks, drags, channel and
// device changes, shifts and free commands. Every note that went on must go off again, on
// the channel it went on, and the program's memory must not keep growing. What each synthesizer
// received is held against what klavio's ports say they handed to JACK: a loss the server
// reported an xrun for is the machine's and is only printed; a loss without one, or anything
// received more often than it was handed on, is klavio's. A witness reads klavio's device port
// beside the synthesizer: the server has been seen to leave one reader a cycle's events that
// it gave another, without an xrun, right after a graph change, and a note-off the witness got
// in the cycle the synthesizer missed is the server's loss. The suite runs a short session;
// KLAVIO_SOAK_SECONDS sets a longer one and KLAVIO_SOAK_BINARY another build of klavio.

#include "tests/e2e/x_session.h"
#include "tests/integration/jack_gtest.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QThread>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <random>

namespace {

using namespace std::chrono_literals;

long ResidentKiB(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').front().toLong();
    return -1;
}

// What klavio's ports handed to JACK for one device, summed from the counts each prints when it
// closes (note-ons, note-offs, others, repeated note-offs), the xruns reported to klavio, and
// what the ports took but neither handed on nor saw cancelled by a reset: lost inside klavio.
std::array<long, 6> HandedTo(const QString& output, const QString& device) {
    static const QRegularExpression line(
        R"(klavio JACK counts: \S+ to (\S+): (\d+) note-ons, (\d+) note-offs, (\d+) others, )"
        R"((\d+) note-offs repeated after (\d+) xrun reports; (\d+) messages accepted, (\d+))");
    std::array<long, 6> handed{};
    for (auto match = line.globalMatch(output); match.hasNext();) {
        const QRegularExpressionMatch found = match.next();
        const auto count = [&](int group) { return found.captured(group).toLong(); };
        for (int i = 0; i < 4 && found.captured(1) == device; ++i)
            handed[i] += count(i + 2);
        handed[4] = std::max(handed[4], count(6));
        handed[5] += count(7) - count(2) - count(3) - count(4) - count(8);
    }
    return handed;
}

// Note-ons minus note-offs per channel and note, and how many pairs closed.
struct NoteBalance {
    std::map<int, int> open;
    long pairs = 0;
    long strayOffs = 0;
    std::array<long, 3> received{};    // note-ons, note-offs, others
    std::vector<MidiBytes> notes;      // every note-on and note-off, to tell what went wrong
    std::vector<std::uint64_t> cycles; // the peer's cycle each of them came in
    std::vector<std::uint32_t> frames; // the server's frame time of that cycle

    void Add(const MidiBytes& event, std::uint64_t cycle, std::uint32_t frame) {
        if (event.size() != 3 || (event[0] & 0xE0) != 0x80) {
            ++received[2];
            return;
        }
        notes.push_back(event);
        cycles.push_back(cycle);
        frames.push_back(frame);
        const int key = (event[0] & 0x0F) * 128 + event[1];
        const bool on = (event[0] & 0xF0) == 0x90 && event[2] != 0;
        ++received[on ? 0 : 1];
        if (on) {
            ++open[key];
        } else if (open[key] > 0) {
            --open[key];
            ++pairs;
        } else {
            ++strayOffs;
        }
    }
    static bool IsKey(const MidiBytes& event, int key) {
        return (event[0] & 0x0F) == key / 128 && event[1] == key % 128;
    }
    // Where the key's last note-on is among notes; notes.size() when it has none.
    std::size_t LastStrike(int key) const {
        std::size_t struck = notes.size();
        for (std::size_t i = 0; i < notes.size(); ++i)
            if (IsKey(notes[i], key) && (notes[i][0] & 0xF0) == 0x90 && notes[i][2] != 0)
                struck = i;
        return struck;
    }
    // The events of every note that is still sounding, in order, with the peer's cycle each
    // came in and the cycles it heard of xruns in near its last note-on.
    std::string Describe(const std::vector<std::uint64_t>& xrunCycles) const {
        std::string text;
        for (const auto& [key, count] : open) {
            if (count == 0)
                continue;
            text += "channel " + std::to_string(key / 128 + 1) + " note " +
                    std::to_string(key % 128) + ":";
            for (std::size_t i = 0; i < notes.size(); ++i)
                if (notes[i][1] == key % 128)
                    text +=
                        QString::asprintf(" #%zu:%02x%02x%02x@%llu", i, notes[i][0], notes[i][1],
                                          notes[i][2], static_cast<unsigned long long>(cycles[i]))
                            .toStdString();
            const std::size_t struck = LastStrike(key);
            text += "\n  and next:";
            for (std::size_t i = struck + 1; i < std::min(notes.size(), struck + 4); ++i)
                text += QString::asprintf(" %02x%02x%02x@%llu", notes[i][0], notes[i][1],
                                          notes[i][2], static_cast<unsigned long long>(cycles[i]))
                            .toStdString();
            const std::uint64_t strikes = struck < cycles.size() ? cycles[struck] : 0;
            text += "\n  xruns heard in cycles:";
            for (const std::uint64_t xrun : xrunCycles)
                if (xrun + 100 >= strikes && xrun <= strikes + 100)
                    text += " " + std::to_string(xrun);
            text += "\n";
        }
        return text;
    }
    // Of the notes still sounding, those whose last note-on the witness received in the same
    // cycle and whose note-off it received later: the server did not hand this reader a cycle
    // it handed the witness. Each is printed.
    int EndedAtTheWitness(const NoteBalance& witness, const char* synth) const {
        const std::vector<MidiBytes>& seen = witness.notes;
        int ended = 0;
        for (const auto& [key, count] : open) {
            const std::size_t struck = LastStrike(key);
            if (count == 0 || struck == notes.size())
                continue;
            std::size_t next = 0; // the witness's copy of that note-on, then its next event
            while (next < seen.size() &&
                   (witness.frames[next] != frames[struck] || seen[next] != notes[struck]))
                ++next;
            for (++next; next < seen.size() && !IsKey(seen[next], key);)
                ++next;
            if (next < seen.size() && (seen[next][0] & 0xF0) == 0x80) {
                std::printf("[ machine  ] %s missed the note-off %02x%02x00 the witness got at "
                            "frame %u\n",
                            synth, seen[next][0], seen[next][1], witness.frames[next]);
                ++ended;
            }
        }
        return ended;
    }
    int StillSounding() const {
        int count = 0;
        for (const auto& [key, n] : open)
            count += n;
        return count;
    }
};

TEST(Soak, RandomPlayingLeavesNoNoteSoundingAndMemoryFlat) {
    JackTestServer server;
    if (!StartJackForTest(server))
        return;
    std::string whyNot;
    std::array<std::unique_ptr<JackPeer>, 2> synths = {JackPeer::Open("synth", whyNot),
                                                       JackPeer::Open("synth2", whyNot)};
    std::unique_ptr<JackPeer> witness = JackPeer::Open("witness", whyNot);
    ASSERT_TRUE(synths[0] && synths[1] && witness) << whyNot;
    XSession session;
    ASSERT_TRUE(session.Started());
    // The address sanitizer keeps up to 256 MiB of freed memory in quarantine, which fills over
    // a long run and would read as growth; a small quarantine leaves the program's own memory.
    const QString sanitizer = qEnvironmentVariable("ASAN_OPTIONS");
    // Another build, such as a release build without the sanitizers, may be soaked instead.
    const char* binary = std::getenv("KLAVIO_SOAK_BINARY");
    ProgramRun klavio(
        session, binary != nullptr ? binary : KLAVIO_BINARY,
        {"ASAN_OPTIONS=" + sanitizer + (sanitizer.isEmpty() ? "" : ":") + "quarantine_size_mb=16",
         "KLAVIO_JACK_COUNTS=1"});
    const std::optional<unsigned long> window = klavio.WaitForWindow("klavio");
    ASSERT_TRUE(window) << klavio.Output().toStdString();
    const std::optional<QPoint> keyboard = WaitForKeyboard(session, *window);
    ASSERT_TRUE(keyboard);
    const QPoint page = *keyboard - QPoint(6, 96);

    const char* asked = std::getenv("KLAVIO_SOAK_SECONDS");
    const int seconds = asked != nullptr ? std::max(1, std::atoi(asked)) : 15;
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    const auto below = [&random](int limit) {
        return std::uniform_int_distribution<int>(0, limit - 1)(random);
    };
    const auto xdotool = [&](const QStringList& arguments) {
        return session.Run("xdotool", arguments).has_value();
    };
    const auto moveTo = [&](QPoint point) {
        return QStringList{"mousemove", "--window", QString::number(*window),
                           QString::number(point.x()), QString::number(point.y())};
    };
    const auto click = [&](QPoint point) {
        return xdotool(moveTo(point) + QStringList{"click", "1"});
    };
    const auto randomKey = [&] { return *keyboard + QPoint(below(780), 4 + below(68)); };
    // Opens a list and picks the item that many places from its top.
    const auto choose = [&](QPoint list, int item) {
        if (!click(list))
            return false;
        QThread::msleep(150);
        QStringList keys{"key", "Home"};
        for (int i = 0; i < item; ++i)
            keys << "Down";
        return xdotool(keys << "Return");
    };

    std::array<NoteBalance, 2> balance;
    NoteBalance witnessed;
    const auto take = [](JackPeer& peer, NoteBalance& into) {
        const std::vector<MidiBytes>& received = peer.Received();
        for (std::size_t at = 0; at < received.size(); ++at)
            into.Add(received[at], peer.CyclesAtReceipt()[at], peer.FramesAtReceipt()[at]);
        peer.Forget();
    };
    const auto collect = [&] {
        for (std::size_t i = 0; i < synths.size(); ++i)
            take(*synths[i], balance[i]);
        take(*witness, witnessed);
    };
    // The witness follows klavio's device port, which goes while no device is chosen. Nothing
    // is played while the graph it joins settles.
    const auto follow = [&] {
        jack_client_t* client = witness->Client();
        if (jack_port_connected(jack_port_by_name(client, "witness:in")) > 0 ||
            jack_port_by_name(client, "klavio:device_out") == nullptr)
            return;
        if (jack_connect(client, "klavio:device_out", "witness:in") == 0)
            QThread::msleep(60);
    };

    std::map<std::string, long> actions;
    // What was done, and how many note events each synthesizer had seen by then: a stuck note
    // is told by the actions around its note-on.
    std::vector<std::string> trace;
    const auto traced = [&](const std::string& what) {
        trace.push_back(what + " -> " + std::to_string(balance[0].notes.size()) + "/" +
                        std::to_string(balance[1].notes.size()));
    };
    long firstKiB = -1;
    long lastKiB = -1;
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        follow();
        const int roll = below(100);
        bool done;
        std::string what;
        if (roll < 45) {
            const QPoint key = randomKey();
            what = "click " + std::to_string(key.x()) + "," + std::to_string(key.y());
            done = xdotool(moveTo(key) + QStringList{"mousedown", "1"});
            QThread::msleep(static_cast<unsigned long>(below(60)));
            done = xdotool({"mouseup", "1"}) && done;
            ++actions["clicks"];
        } else if (roll < 65) {
            QStringList drag = moveTo(randomKey()) + QStringList{"mousedown", "1"};
            for (int step = below(6); step >= 0; --step)
                drag += moveTo(randomKey()) + QStringList{"sleep", "0.02"};
            done = xdotool(drag + QStringList{"mouseup", "1"});
            what = "drag";
            ++actions["drags"];
        } else if (roll < 75) {
            const int channel = below(16);
            what = "channel " + std::to_string(channel + 1);
            done = choose(page + QPoint(6 + 263 + 41, 48 + 14 + 10), channel);
            ++actions["channel changes"];
        } else if (roll < 83) {
            // No device, the program's own port, synth:in or synth2:in; not the built-in
            // synthesizer (item 1), whose SoundFont would dwarf the memory this watches.
            const int device = below(4);
            what = "device " + std::to_string(device);
            done = choose(page + QPoint(6 + 55 + 100, 48 + 14 + 10), device == 0 ? 0 : device + 1);
            ++actions["device changes"];
        } else if (roll < 93) {
            const bool lower = below(2) == 0;
            what = lower ? "lower" : "higher";
            done = click(page + QPoint(lower ? 655 : 738, 4 + 14 + 10));
            ++actions["shifts"];
        } else {
            const QString command =
                QStringList{"B0 07 64", "C0 05", "E0 00 40", "F0 7E 7F 09 01 F7"}[below(4)];
            what = "command " + command.toStdString();
            done = click(page + QPoint(476, 72)) &&
                   xdotool({"key", "ctrl+a", "BackSpace", "type", command}) &&
                   click(page + QPoint(738, 72));
            ++actions["free commands"];
        }
        ASSERT_TRUE(done) << "xdotool failed";
        collect();
        traced(what);
        const long kiB = ResidentKiB(klavio.Pid());
        // Memory is compared from the end of the first tenth: start-up and first paints are
        // over by then.
        if (firstKiB < 0 && std::chrono::steady_clock::now() > start + (end - start) / 10)
            firstKiB = kiB;
        lastKiB = kiB;
    }

    session.RequestClose(*window);
    ASSERT_TRUE(klavio.WaitForExit(20s));
    const QString output = klavio.Output();
    EXPECT_EQ(klavio.ExitCode(), 0) << output.toStdString();
    QThread::msleep(200);
    collect();

    std::printf("soak: %d s, seed %u:", seconds, seed);
    for (const auto& [name, count] : actions)
        std::printf(" %ld %s,", count, name.c_str());
    std::printf(" pairs matched %ld + %ld, stray note-offs %ld + %ld, resident %ld -> %ld KiB,"
                " JACK xruns %llu\n",
                balance[0].pairs, balance[1].pairs, balance[0].strayOffs, balance[1].strayOffs,
                firstKiB, lastKiB, static_cast<unsigned long long>(synths[0]->Xruns()));
    const bool stuck = balance[0].StillSounding() + balance[1].StillSounding() > 0;
    if (stuck) {
        std::string text;
        for (const std::string& line : trace)
            text += line + "\n";
        for (std::size_t synth = 0; synth < balance.size(); ++synth) {
            text += "synth " + std::to_string(synth) + ":";
            for (std::size_t i = 0; i < balance[synth].notes.size(); ++i) {
                const MidiBytes& event = balance[synth].notes[i];
                text += QString::asprintf(" #%zu:%02x%02x%02x", i, event[0], event[1], event[2])
                            .toStdString();
            }
            text += "\n";
        }
        QFile log(QDir::temp().filePath("klavio-soak-trace.txt"));
        if (log.open(QIODevice::WriteOnly))
            log.write(QByteArray::fromStdString(text));
    }
    for (std::size_t i = 0; i < balance.size(); ++i) {
        const NoteBalance& synth = balance[i];
        const auto handed = HandedTo(output, i == 0 ? "synth:in" : "synth2:in");
        long lost = 0;
        for (std::size_t kind = 0; kind < 3; ++kind) {
            // A repeated note-off that arrives stands in for its lost original.
            lost += std::max(0L, handed[kind] + (kind == 1 ? handed[3] : 0) - synth.received[kind]);
            // Only a note-off comes twice: the repeat of one in a cycle reported lost.
            EXPECT_LE(synth.received[kind], handed[kind] + (kind == 1 ? handed[3] : 0))
                << "received more often than handed on, kind " << kind << ", seed " << seed;
        }
        std::printf("synth %zu: handed %ld note-ons, %ld note-offs, %ld others, %ld repeated "
                    "note-offs; received %ld, %ld, %ld; %ld lost; xruns %ld reported to klavio, "
                    "%llu to the synthesizer\n",
                    i + 1, handed[0], handed[1], handed[2], handed[3], synth.received[0],
                    synth.received[1], synth.received[2], lost, handed[4],
                    static_cast<unsigned long long>(synths[i]->Xruns()));
        const int serversLoss = synth.EndedAtTheWitness(witnessed, i == 0 ? "synth" : "synth2");
        EXPECT_TRUE(lost == serversLoss || handed[4] + synths[i]->Xruns() > 0) << "seed " << seed;
        EXPECT_EQ(handed[5], 0) << "messages klavio took but never handed to JACK";
        EXPECT_EQ(synth.StillSounding() - serversLoss, 0)
            << "seed " << seed << "\n"
            << synth.Describe(synths[i]->XrunCycles()) << output.toStdString();
    }
    EXPECT_GT(balance[0].pairs + balance[1].pairs, 0) << "nothing was played";
    // Flat, with room for the allocator and the sanitizers' quarantine of a short run.
    EXPECT_LT(lastKiB - firstKiB, 64 * 1024) << "seed " << seed;
}

} // namespace
