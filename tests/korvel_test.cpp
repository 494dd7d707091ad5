#include <atomic>
#include <chrono>
#include <future>
#include <csignal>
#include <iterator>
#include <mutex>
#include <omp.h>
#include <thread>

#include "app/cores.h"
#include "app/executor.h"
#include "app/memory_gate.h"
#include "app/memory_limit.h"
#include "app/in_order.h"
#include "imageio/jpeg_writer.h"
#include "project/project.h"
#include "project/pto_write.h"
#include "base/signal_cleanup.h"
#include "test_util.h"

namespace {

const char* smallProject =
    "#-imgfile 1000 800 \"a.jpg\"\no f0 y0 r0 p0 v60 a0 b0 c0 d0 e0 g0 t0\n"
    "#-imgfile 1000 800 \"b.jpg\"\no f0 y30 r0 p0 v60 a0 b0 c0 d0 e0 g0 t0\n";

const std::string noDisplay = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ";

// Status 255 and one Error line, the last one written, that says message.
void expectError(const RunResult& r, const std::string& message) {
    EXPECT_EQ(r.status, 255) << r.err;
    size_t at = r.err.find("Error (");
    ASSERT_NE(at, std::string::npos) << r.err;
    EXPECT_TRUE(contains(r.err.substr(at), message)) << message << "\n" << r.err;
    EXPECT_EQ(r.err.find('\n', at), r.err.size() - 1) << r.err;
}

// The small project, or text, with its first `from` replaced.
std::string replaced(const std::string& from, const std::string& to,
                     std::string text = smallProject) {
    return text.replace(text.find(from), from.size(), to);
}

fs::path writeGrey(const fs::path& file, int w, int h) {
    writeJPEG(file, makeImage(w, h, [](int, int) { return grey<unsigned char>(128); }));
    return file;
}

struct Driver : testing::Test {
    TempDir dir;
    fs::path project = writeFile(dir / "p.pts", smallProject);
    fs::path a = writeGrey(dir / "a.jpg", 1000, 800), b = writeGrey(dir / "b.jpg", 1000, 800);
};

const fs::path batchScript = fs::path(KORVEL_EXE).parent_path() / "korvel-batch";

// Stands in for korvel; a hang*.pts project leaves its pids and waits on a child forever.
fs::path fakeKorvel(const fs::path& dir) {
    fs::path fake =
        writeFile(dir / "fake-korvel",
                  "#!/bin/sh\n"
                  "case $3 in *hang*.pts)\n"
                  "  sleep 30 & echo $$ $! >\"$3.tmp\"; mv \"$3.tmp\" \"$3.pid\"; wait;;\n"
                  "esac\n"
                  "echo 'c n0 N1 x1 y1 X1 Y1 t0' >\"$4\"\n");
    fs::permissions(fake, fs::perms::owner_all);
    return fake;
}

// Whether each pid in the file is gone (a zombie counts as gone), allowing a moment to die.
bool processesGone(const fs::path& pidFile) {
    std::istringstream pids(readFile(pidFile));
    std::vector<std::string> all{std::istream_iterator<std::string>(pids), {}};
    auto gone = [&] {
        return std::all_of(all.begin(), all.end(), [](const std::string& pid) {
            std::string stat = readFile("/proc/" + pid + "/stat");
            return stat.rfind(") ") == std::string::npos || stat[stat.rfind(") ") + 2] == 'Z';
        });
    };
    for (int wait = 0; wait < 40 && !gone(); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return !all.empty() && gone();
}

void raiseTo(std::atomic<int>& most, int value) {
    for (int was = most.load(); value > was && !most.compare_exchange_weak(was, value);) {
    }
}

}  // namespace

// A bad command line must not cost the user an input or an earlier output.
TEST_F(Driver, ArgumentsAreReadWholeBeforeAnythingIsWritten) {
    const std::string usage = std::string("usage: ") + KORVEL_EXE;
    for (auto [args, status, start] :
         {std::tuple("", 255, usage + " [-e] <project> [output file]\n"),
          std::tuple("-e", 255, usage + " [-e] <project> [output file]\n"),
          std::tuple("--help", 0, usage + " [-p FILE] [-e] <project>"),
          std::tuple("--version", 0, std::string("korvel ") + KORVEL_VERSION + "\n")}) {
        RunResult r = runKorvel(args);
        EXPECT_EQ(std::pair(r.status, r.err), std::pair(status, std::string())) << args;
        EXPECT_EQ(r.out.substr(0, start.size()), start) << args;
        EXPECT_TRUE(status == 0 || r.out == start) << r.out;  // usage alone
    }
    fs::path out = dir / "out.txt", copy = dir / "copy.pts", fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string p = q(project);
    const std::pair<std::string, std::string> refused[] = {
        {"-e " + p + " " + q(out), "usage: "},
        {p + " " + q(out) + " extra", "usage: "},
        {"-E " + p, "unknown option '-E'"},
        {"--project-out= " + p, "option --project-out= needs a file name"},
        {p + " -p", "option -p needs a file name"},
        {p + " " + p, "the output file '" + quoted(project) + "' would replace the input project"},
        {p + " " + q(a), "would replace the image 0"},
        {"-p " + q(b) + " " + p, "the project copy '" + quoted(b) + "' would replace the image 1"},
        {"-p " + q(out) + " " + p + " " + q(out), "would replace the project copy"},
        {p + " " + q(fifo), "is a FIFO (named pipe), not a regular file"},
        {"-p " + q(fifo) + " " + p, "is a FIFO (named pipe), not a regular file"},
        {p + " /dev/null", "Error opening output file '\"/dev/null\"': is a device"},
        {"-p /dev/null " + p, "'\"/dev/null\"': is a device, not a regular file"}};
    const std::string inputs = readFile(project) + readFile(a) + readFile(b);
    for (auto& [args, message] : refused) {
        RunResult r = runKorvel(args);
        if (message != "usage: ")
            expectError(r, message);
        else
            EXPECT_TRUE(r.status == 255 && r.out.rfind(usage, 0) == 0) << args << r.out;
        EXPECT_EQ(readFile(project) + readFile(a) + readFile(b), inputs) << args;
        EXPECT_FALSE(fs::exists(out) || fs::exists(copy)) << args;
        EXPECT_TRUE(fs::is_fifo(fifo) && fs::is_character_file("/dev/null")) << args;
    }
    // Options may follow the project: this -p is no log named "-p".
    writeGrey(a, 40, 30);
    expectError(runKorvel(p + " -p " + q(copy)), "holds 40 x 30 pixels");
    EXPECT_FALSE(fs::exists("-p") || fs::exists(copy));
}

// Bad input ends in one error line before the log is opened, so an earlier log survives.
TEST_F(Driver, BadInputEndsWithOneErrorLine) {
    const std::string image = "o f0 y1 r1 p1 v50 a0 b0 c0 d0 e0\n", digits(30000, '7');
    writeGrey(dir / "tall.jpg", 800, 1000), writeGrey(dir / "small.jpg", 7, 5);
    std::string jpeg = readFile(a);
    writeFile(dir / "giga.jpg", jpeg.replace(jpeg.find("\xff\xc0") + 5, 4, "\xea\x60\xea\x60"));
    const std::pair<std::string, std::string> cases[] = {
        {image + "c n1 N1 x" + digits + " y1 X1 Y1 t0\n",
         "(St12out_of_range): number out of range in line 2 of project '%s': c n1 N1 x" +
             digits.substr(0, 51) + "...\n"},
        {image + "c n1 N1 x=1 y1 X1 Y1 t0\n", "invalid number in line 2 of project '%s'"},
        {"o f0 y1 r1 p1 v=1 a0 b0 c0 d0 e0\n", "reference '=1' in project '%s' names no image"},
        {"o f0 y" + digits + "\n#-imgfile 1 1 \"" + digits, "unreadable image line 1 of project"},
        {"o f0 y1 r1 p1 vnan a0 b0 c0 d0 e0\n", "unreadable image line 1 of project '%s'"},
        {"# nothing\n", "failed to parse project '%s'"},
        {"i w1000 h800 f0 v50 n\"a.jpg\"\ni w1000 h800 f4 v50 n\"b.jpg\"\n",
         "image 1 ('b.jpg', line 2 of project '%s'): lens f4 with v50 is none that korvel models"},
        {"i w1000 h800 f0 v100 n\"a.jpg\"\n", "lens f0 with v100 is none that korvel models"},
        {"p f2\ni w1000 h800 f0 v5x0 n\"a.jpg\"\n", "invalid number in line 2 of project '%s'"},
        {"i w1000 f0 v50 n\"a.jpg\"\n", "line 1 of project '%s' has no value h: i w1000"},
        {"i w1000 h800 f0 v=1 n\"a.jpg\"\n",
         "reference '=1' in line 1 of project '%s' names no image read so far (0 images)"},
        {"i w1000 h800 f0 v50 n\"a.jpg\"\nc n0 N0 x1 y1 X1 Y" + digits + " t0\n",
         "(St12out_of_range): number out of range in line 2 of project '%s'"},
        {"#orientation_abs_slot1 y1 r2 p3 t4\n", "project '%s' has no images, only an orientation"},
        {replaced("y30", "y180"), "images 0 (a.jpg), 1 (b.jpg) overlap no other image"},
        {replaced("1000 800", "60000 45000"),
         "image 0 (a.jpg) of project '%s' states 60000 x 45000 pixels: sizes from 1 to "
         "65535 a side and 256 megapixels are read"},
        {"/dev/zero", "Error opening project '\"/dev/zero\"': is a device, not a regular file"},
        {"", "Error opening project '%s': Is a directory"},
        {replaced("a.jpg", "tall.jpg"),
         "holds 800 x 1000 pixels, but the project states 1000 x 800"},
        {replaced("a.jpg", "small.jpg"), "holds 7 x 5 pixels, but the project states 1000 x 800"},
        {replaced("a.jpg", "giga.jpg"), "holds 60000 x 60000 pixels, but the project states"}};
    fs::path out = dir / "out.txt";
    for (auto& [text, message] : cases) {
        fs::path file = text.empty()     ? dir.path
                        : text[0] == '/' ? fs::path(text)
                                         : writeFile(project, text);
        writeFile(out, "kept");
        expectError(runKorvel(q(file) + " " + q(out)), fmt::sprintf(message, quoted(file)));
        EXPECT_EQ(readFile(out), "kept") << message;
    }
    writeFile(project, smallProject);

    fs::path missing = dir / "missing.pts", noDir = dir / "no/dir/out.txt";
    expectError(runKorvel("-e " + q(missing)),
                "Error opening project '" + quoted(missing) + "': No such file or directory");
    expectError(runKorvel(q(project) + " " + q(noDir)),
                "Error opening output file '" + quoted(noDir) + "': No such file or directory");
    // A bad option is refused before the log is opened.
    expectError(runKorvel(q(project) + " " + q(out), {{"KORVEL_REMAP", "GPU"}}),
                "KORVEL_REMAP='GPU' names no remap: use cpu or gl");
    EXPECT_EQ(readFile(out), "kept");
    // -e: nothing to measure is no success.
    expectError(runKorvel("-e " + q(project)),
                "project '" + quoted(project) + "' has no control point to measure");
    writeFile(project, std::string(smallProject) + "c n1 N2 x500 y400 X9e29 Y400 t0\n");
    expectError(runKorvel("-e " + q(project)), "has no control point to measure");
    writeFile(project, std::string(smallProject) + "c n1 N2 x500 y400 X5 Y400 t0\n");
    expectError(
        runCommand("sh -c " + shellQuote(q(KORVEL_EXE) + " -e " + q(project) + " >/dev/full")),
        "Error writing standard output: No space left on device");
    if (!sharedDir().empty())  // a log on a full disk, written before any GL work
        expectError(runCommand("sh -c " +
                               shellQuote("DEBUG=1 " + q(KORVEL_EXE) + " " +
                                          q(sharedDir() / "rigs/ring13/rig.pts") + " >/dev/full")),
                    "(St13runtime_error): Error writing standard output: No space left on "
                    "device\n");
}

// Projects from other machines name folders that do not exist here; the image beside it is used.
TEST_F(Driver, ImagePathsFromOtherMachines) {
    fs::create_directory(dir / "sub");
    fs::rename(b, dir / "sub/b.jpg");
    std::string text = replaced("\"b.jpg\"", "\"C:\\rig\\b.jpg\"", replaced("a.jpg", a.string()));
    fs::path sub = writeFile(dir / "sub/p.pts", text), log = dir / "log.txt";
    RunResult r = runKorvel(q(sub) + " " + q(log));
    const std::string note = "image 1: image file '\"C:\\\\rig\\\\b.jpg\"' does not exist; read '" +
                             quoted(dir / "sub/b.jpg") + "' beside the project instead\n";
    EXPECT_TRUE(holds(r.err, note));
    EXPECT_EQ(readFile(log).substr(0, note.size()), note);
    EXPECT_FALSE(contains(r.err, "Error reading image")) << r.err;
    fs::remove(a);
    expectError(runKorvel(q(sub) + " " + q(log)),
                "Error reading image '" + quoted(a) + "': No such file or directory");
}

// A failed run must leave an earlier project copy as it was, with no temporary file.
TEST_F(Driver, ProjectCopyIsRefusedOrKeptUntilARunSucceeds) {
    fs::path copy = dir / "copy.pts", log = dir / "log.txt";
    std::string p = q(project), run = "-p " + q(copy) + " " + p + " " + q(log);
    fs::path elsewhere = writeFile(dir / "elsewhere.pts", replaced("a.jpg", "c.jpg"));
    writeFile(copy, "old");
    const auto files = std::distance(fs::directory_iterator(dir.path), {});
    const std::string cases[][3] = {
        {"", "-p " + p + " " + p, "would replace the input project"},
        {"", "-p " + q(copy) + " -e " + p, "option -p writes the points"},
        {"", "--project-out=" + q(dir / "no/dir/c.pts") + " " + p,
         "Error writing the project copy into"},
        {"", "-p " + q(copy) + " " + q(elsewhere) + " " + q(log), "c.jpg"},  // no such images
        {noDisplay + "KORVEL_REMAP=gl __EGL_VENDOR_LIBRARY_FILENAMES=/nonexistent.json ", run,
         "(12opengl_error): no display (DISPLAY is not set) and no OpenGL without one: "},
        {noDisplay + "KORVEL_REMAP=gl DISPLAY=:97531 ", run,
         "(12opengl_error): Qt cannot open the display \":97531\"; "}};
    for (auto& [env, args, error] : cases) {
        writeFile(copy, "old");
        fs::remove(log);
        RunResult r = runCommand(env + q(KORVEL_EXE) + " " + args);
        expectError(r, error);
        EXPECT_EQ(contains(r.err, "xvfb-run -a"), !env.empty()) << r.err;
        EXPECT_EQ(fs::exists(log), args == run);
        EXPECT_EQ(readFile(project), smallProject);
        EXPECT_EQ(readFile(copy), "old");
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), {}), files + fs::exists(log))
            << "a temporary file was left behind";
    }
}

// A run ended by a signal between writing the copy and renaming it leaves no temporary file.
TEST(ProjectCopy, TemporaryFileGoesWithATerminatingSignal) {
    TempDir dir;
    fs::path temp = writeFile(dir / "copy.pts.XXXXXX", "half");
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        EXPECT_EXIT(
            {
                // A signal ignored from the start (nohup) stays ignored: this test wants it heard.
                std::signal(signal, SIG_DFL);
                RemovedOnSignal removal(temp.string());
                raise(signal);
            },
            testing::KilledBySignal(signal), "");
        EXPECT_FALSE(fs::exists(temp)) << signal;
        writeFile(temp, "half");
    }
    { RemovedOnSignal removal(temp.string()); }
    EXPECT_EXIT(raise(SIGTERM), testing::KilledBySignal(SIGTERM), "");
    EXPECT_TRUE(fs::exists(temp)) << "removed after it was released";
}

// An installed batch must find its korvel and shaders; --resume redoes only what failed.
TEST(Batch, InstalledWithoutADisplayThenResumeRunsOnlyWhatIsLeft) {
    REQUIRE_SHARED();
    TempDir dir;
    RunResult install = runCommand("cmake --install " + q(fs::path(KORVEL_EXE).parent_path()) +
                                   " --prefix " + q(dir / "usr"));
    ASSERT_EQ(install.status, 0) << install.out << install.err;
    fs::path rig = sharedDir() / "rigs/fisheye6", rigs = dir / "rigs";
    for (const char* name : {"a", "b", "c"}) copyRig(rig, rigs / name);
    fs::remove(rigs / "b/fish05.jpg");
    // c is Hugin's: its copy is a Hugin project too.
    writeFile(rigs / "c/rig.pto", huginProjectText(readProject(rigs / "c/rig.pts")));
    fs::remove(rigs / "c/rig.pts");
    // DEBUG=5 starts the fisheye schedule at its last ring image: two pairs a rig.
    std::string command = noDisplay + "DEBUG=5 " + q(dir / "usr/bin/korvel-batch") + " --jobs 2 ";
    RunResult r = runCommand(command + q(rigs));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(holds(r.out, "3 projects: 2 done, 1 failed, 0 not run"));
    EXPECT_TRUE(holds(r.out, "failed  " + (rigs / "b/rig.pts").string() + "  status 255: Error ("));
    for (auto [name, kind, line] :
         {std::tuple("a", ".pts", "c n1 N6 "), std::tuple("c", ".pto", "c n0 N5 ")}) {
        fs::path project = rigs / name / (std::string("rig") + kind);
        size_t at = r.out.find("done    " + project.string() + "  ");
        ASSERT_NE(at, std::string::npos) << r.out;
        // Two pairs leave three images without points: the summary names them.
        EXPECT_TRUE(holds(r.out.substr(at, r.out.find('\n', at) - at),
                          " control points; too few for image(s) 1 (0), 2 (0), 3 (0)"));
        std::string input = readFile(project);
        std::string output = readFile(rigs / name / (std::string("rig.cp") + kind));
        EXPECT_EQ(output.substr(0, input.size()), input);
        EXPECT_TRUE(holds(output.substr(input.size()), line));
    }
    EXPECT_FALSE(fs::exists(rigs / "b/rig.cp.pts"));
    fs::create_symlink(rig / "fish05.jpg", rigs / "b/fish05.jpg");
    copyRig(rig, rigs / "a2");
    auto beforeA = fs::last_write_time(rigs / "a/rig.log");
    auto beforeC = fs::last_write_time(rigs / "c/rig.log");
    r = runCommand(command + "--resume " + q(rigs));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(holds(r.out, "4 projects: 4 done, 0 failed, 0 not run"));
    EXPECT_EQ(fs::last_write_time(rigs / "a/rig.log"), beforeA);
    EXPECT_EQ(fs::last_write_time(rigs / "c/rig.log"), beforeC);
    for (const char* rerun : {"a2", "b"}) EXPECT_TRUE(fs::exists(rigs / rerun / "rig.cp.pts"));
}

// A missing or hung project must fail, and a hung korvel's child must not outlive it.
TEST(Batch, MissingAndTimedOutProjectsFail) {
    TempDir dir;
    std::string batch = q(batchScript) + " --jobs 2 --korvel " + q(fakeKorvel(dir.path)) +
                        " --joblog " + q(dir / "joblog") + " ";
    fs::path ok = writeFile(dir / "ok.pts", ""), hang = writeFile(dir / "hang.pts", "");
    fs::path noDir = dir / "no/such/p.pts", noFile = dir / "p.pts";
    writeFile(dir / "list", ok.string() + "\n" + noDir.string() + "\n" + noFile.string() + "\n");
    RunResult r = runCommand(batch + "--list " + q(dir / "list"));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(holds(r.out, "done    " + ok.string() + "  1 control points\n"));
    for (const fs::path& missing : {noDir, noFile})
        EXPECT_TRUE(holds(r.out, "failed  " + missing.string() + "  status -: no such file\n"));
    EXPECT_TRUE(holds(r.out, "3 projects: 1 done, 2 failed, 0 not run"));

    for (const char* bad : {"0", "0.0", "-1", "1x", "''"}) {
        r = runCommand(batch + "--timeout " + bad + " " + q(ok));
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_EQ(r.err, "korvel-batch: --timeout needs a number of seconds above 0\n") << bad;
    }
    auto start = std::chrono::steady_clock::now();
    r = runCommand(batch + "--timeout 1 " + q(ok) + " " + q(hang));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(
        holds(r.out, "failed  " + hang.string() + "  status signal15: timed out after 1s\n"));
    EXPECT_TRUE(holds(r.out, "2 projects: 1 done, 1 failed, 0 not run"));
    EXPECT_TRUE(processesGone(hang.string() + ".pid"));
}

// Teams take the cores that other work leaves idle now: the runnable tasks besides the reader.
TEST(Cores, RunnableTasksBesidesTheReader) {
    EXPECT_EQ(otherRunnableTasks("0.50 0.40 0.30 3/85 123\n"), 2);
    EXPECT_EQ(otherRunnableTasks("2.50 2.40 2.30 1/85 123\n"), 0);  // a busy minute, ended
    for (const char* bad : {"", "0.5 0.4 0.3", "0.5 0.4 0.3 0/85 1", "0.5 0.4 0.3 3-85 1"})
        EXPECT_EQ(otherRunnableTasks(bad), -1) << bad;
}

// Output stays in order while items run beside each other; the first failure ends the run.
TEST(InOrder, WritesInOrderAndStopsAtTheFirstFailure) {
    const size_t n = 8;
    std::atomic<int> running{0}, mostRunning{0}, innerThreads{0};
    std::vector<size_t> written;
    auto run = [&](size_t k) {
        raiseTo(mostRunning, ++running);
#pragma omp parallel
        raiseTo(innerThreads, omp_get_num_threads());
        // Later items end first.
        std::this_thread::sleep_for(std::chrono::milliseconds(2 * int(n - k)));
        --running;
    };
    runInOrder(n, run, [&](size_t k) { written.push_back(k); });
    EXPECT_EQ(written, (std::vector<size_t>{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(innerThreads, 1);
    EXPECT_TRUE(omp_get_max_threads() == 1 || mostRunning >= 2) << mostRunning;

    // Item 2 waits for item 3 to fail, so a skip is seen however the two workers are scheduled.
    const int threads = omp_get_max_threads();
    omp_set_num_threads(2);
    for (bool inWrite : {false, true}) {
        written.clear();
        std::atomic<size_t> begun{0};
        std::atomic<bool> failing{false};
        auto failAt3 = [&](size_t k) {
            if (k != 3) return;
            failing = true;
            throw std::runtime_error("item 3");
        };
        auto item = [&](size_t k) {
            ++begun;
            if (!inWrite) failAt3(k);
            for (int ms = 0; k == 2 && !inWrite && !failing && ms < 1000; ++ms)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::this_thread::sleep_for(std::chrono::milliseconds(k == 2 ? 10 : 1));
        };
        auto write = [&](size_t k) {
            if (inWrite) failAt3(k);
            written.push_back(k);
        };
        std::string message = errorMessage([&] { runInOrder(n, item, write); });
        EXPECT_EQ(message, "item 3");
        EXPECT_EQ(written, (std::vector<size_t>{0, 1, 2})) << inWrite;
        EXPECT_TRUE(inWrite || begun < n) << begun;  // items after a failed one are skipped
    }
    omp_set_num_threads(threads);
}

// A thread waiting for a source another is reading decodes the rows the reader names; one read.
TEST(SourceCache, AThreadWaitingForAReadHelpsWithIt) {
    std::atomic<int> reads{0}, helpedFrom{-1};
    std::atomic<bool> reading{false};
    SourceCache cache(1, [&](int, RowShare& share) {
        ++reads;
        share.open(1000, [&](int first) { helpedFrom = first; });
        reading = true;
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!share.requested() && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::yield();
        if (share.requested()) share.answer(100);
        return std::make_unique<Source>(SourceImage(), true);
    });
    cache.expect(0);
    cache.expect(0);
    std::thread reader([&] { cache.get(0); });
    while (!reading) std::this_thread::yield();
    cache.get(0);
    reader.join();
    EXPECT_EQ(reads, 1);
    EXPECT_EQ(helpedFrom, RowShare::claimRow(100, 1000));
}

// A pair at the gate before the one ahead enters once that one has, reading beside it.
TEST(MemoryGate, ThePairAfterEntersOnceItsTurnComes) {
    SourceCache cache(
        4, [](int, RowShare&) { return std::make_unique<Source>(SourceImage(), true); },
        [](int) { return size_t(100); });
    const std::vector<ScheduleStep> pairs{{ScheduleStep::Kind::pair, 0, 1},
                                          {ScheduleStep::Kind::pair, 2, 3}};
    MemoryGate gate(cache, 1000, pairs, 4);
    auto second = std::async(std::launch::async, [&] { return gate.enter(1); });
    EXPECT_EQ(second.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    EXPECT_EQ(gate.enter(0), 200u);
    EXPECT_EQ(second.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    gate.fail();  // lets a pair that missed its turn go, so that the test ends
    EXPECT_EQ(second.get(), 200u);
}

// Sources beyond the budget go, last needed first; pairs wait, one too large alone; cgroups bound.
TEST(Executor, PairsSideBySideKeepSourcesWithinTheBudget) {
    EXPECT_EQ(cgroupLimit("2147483648\n"), size_t(2) << 30);
    EXPECT_EQ(cgroupLimit("max\n") + cgroupLimit("") + cgroupLimit("99999999999999999999"), 0u);
    EXPECT_EQ(cgroupLimitFiles("0::/user.slice/job\n"),
              (std::vector<std::string>{"/sys/fs/cgroup/user.slice/job/memory.max",
                                        "/sys/fs/cgroup/user.slice/memory.max",
                                        "/sys/fs/cgroup/memory.max"}));
    EXPECT_EQ(cgroupLimitFiles("4:cpu,cpuacct:/a\n9:memory:/small\n"),
              (std::vector<std::string>{"/sys/fs/cgroup/memory/small/memory.limit_in_bytes",
                                        "/sys/fs/cgroup/memory/memory.limit_in_bytes"}));
    const int threads = omp_get_max_threads();
    omp_set_num_threads(4);
    // Pairs of their own, then two that need sources of the first pairs again.
    std::vector<ScheduleStep> pairs;
    for (int k = 0; k < 8; ++k) pairs.push_back({ScheduleStep::Kind::pair, 2 * k, 2 * k + 1});
    pairs.push_back({ScheduleStep::Kind::pair, 1, 3});
    pairs.push_back({ScheduleStep::Kind::pair, 5, 7});
    ScheduleSteps steps = stepsForPairs(pairs);
    // Though the sources kept for the last pairs and four pairs' would pass the default bound.
    const size_t byDefault = defaultSourceBudget(100, 4, size_t(1) << 30);
    EXPECT_EQ(defaultSourceBudget(100, 4, 500), 500u);
    for (size_t budget : {size_t(0), size_t(300), size_t(100), byDefault}) {
        std::atomic<int> reads{0}, running{0}, mostRunning{0};
        SourceCache cache(
            16,
            [&](int, RowShare&) {
                ++reads;
                return std::make_unique<Source>(SourceImage(), true);
            },
            [](int) { return size_t(100); });
        std::mutex m;
        size_t mostHeld = 0, matched = 0;
        auto match = [&](size_t, const ScheduleStep&, const Source&, const Source&) {
            raiseTo(mostRunning, ++running);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            std::lock_guard<std::mutex> lock(m);
            mostHeld = std::max(mostHeld, cache.heldBytes());
            --running;
            return PairMatch{};
        };
        runSteps(
            steps, cache, ExecutorMode{true, true, budget}, match,
            [&](size_t, const ScheduleStep&, PairMatch&, std::string&) { ++matched; },
            [](const ScheduleStep&) {});
        EXPECT_EQ(matched, 10u);
        // Sources let go are read again; without a bound more is held, else it would prove nothing.
        EXPECT_TRUE(budget > 0 ? mostHeld <= std::max(budget, size_t(200)) : mostHeld > 300)
            << budget << ": " << mostHeld;
        EXPECT_TRUE(budget == byDefault || (reads > 16) == (budget > 0)) << budget << ": " << reads;
        EXPECT_TRUE(budget != byDefault || mostRunning == 4) << mostRunning;
    }
    omp_set_num_threads(threads);
}
