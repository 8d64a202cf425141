#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "output_file/output_file.h"

namespace {

namespace fs = std::filesystem;

fs::path fresh_directory(const std::string& name) {
    const fs::path directory = fs::path(::testing::TempDir()) / name;
    fs::remove_all(directory);
    fs::create_directories(directory);
    return directory;
}

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void put(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::vector<std::string> entries(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Writes `text` to the output `name` and commits it; the failure's message, or "".
std::string write_output(const std::string& name, const std::string& text, int input = -1) {
    try {
        OutputFile output(name, "tool", input);
        output.write(text);
        output.commit();
    } catch (const std::runtime_error& failure) {
        return failure.what();
    }
    return "";
}

TEST(OutputFile, ReplacesARegularFileWhenCommittedAndOnlyThen) {
    const fs::path directory = fresh_directory("replaces");
    const std::string out = (directory / "out.csv").string();
    put(out, "old");
    {
        OutputFile output(out, "tool", -1);
        output.write("new");
        EXPECT_EQ(slurp(out), "old");
        EXPECT_EQ(entries(directory).size(), 2u) << "no temporary file beside OUT";
    }
    EXPECT_EQ(slurp(out), "old");
    EXPECT_EQ(entries(directory), std::vector<std::string>{"out.csv"});
    EXPECT_EQ(write_output(out, "new table"), "");
    EXPECT_EQ(slurp(out), "new table");
    EXPECT_EQ(write_output((directory / "fresh.csv").string(), "fresh"), "");
    EXPECT_EQ(slurp(directory / "fresh.csv"), "fresh");
    EXPECT_EQ(entries(directory), (std::vector<std::string>{"fresh.csv", "out.csv"}));
}

TEST(OutputFile, RefusesADirectoryItsInputAndNoName) {
    const fs::path directory = fresh_directory("refuses");
    const std::string in = (directory / "in.txt").string();
    put(in, "trace");
    std::FILE* input = std::fopen(in.c_str(), "rb");
    ASSERT_NE(input, nullptr);
    const int fd = fileno(input);
    std::vector<std::pair<std::string, std::string>> cases = {
        {directory.string(), directory.string() + ": is a directory"},
        {in, in + ": is the input itself, left as it is"},
        {"", "an empty name is no output file"},
    };
#ifndef _WIN32
    const std::string link = (directory / "link").string(), by_fd = "/dev/fd/" + std::to_string(fd);
    ASSERT_EQ(symlink("in.txt", link.c_str()), 0);
    cases.push_back({link, link + ": is the input itself, left as it is"});
    cases.push_back({by_fd, by_fd + ": is the input itself, left as it is"});
#endif
    for (const auto& [name, refusal] : cases) EXPECT_EQ(write_output(name, "table", fd), refusal) << name;
    std::fclose(input);
    EXPECT_EQ(slurp(in), "trace");
}

#ifndef _WIN32
TEST(OutputFile, KeepsTheReplacedFilesModeAndALinkALink) {
    const fs::path directory = fresh_directory("modes");
    const std::string out = (directory / "out.csv").string();
    put(out, "old");
    struct stat st;
    // The special bits too (setgid and sticky).
    for (const mode_t mode : {0640u, 03640u}) {
        ASSERT_EQ(chmod(out.c_str(), mode), 0);
        EXPECT_EQ(write_output(out, "new"), "");
        ASSERT_EQ(stat(out.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
    }
    // A new file: 0666 less the umask.
    for (const auto& [mask, mode] : {std::pair<mode_t, mode_t>{027, 0640}, {0, 0666}}) {
        const std::string fresh = (directory / ("new-" + std::to_string(mask) + ".csv")).string();
        const mode_t before = umask(mask);
        EXPECT_EQ(write_output(fresh, "new"), "");
        umask(before);
        ASSERT_EQ(stat(fresh.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode) << mask;
    }

    const std::string link = (directory / "link.csv").string();
    ASSERT_EQ(symlink("target.csv", link.c_str()), 0);
    for (const char* text : {"first", "second"}) {
        EXPECT_EQ(write_output(link, text), "");
        EXPECT_TRUE(fs::is_symlink(link));
        EXPECT_EQ(slurp(directory / "target.csv"), text);
    }
}

// A file's owner without the privilege to keep the set-user-ID and set-group-ID bits
// through a write keeps them all the same: root writes as nobody, on a file of nobody's.
TEST(OutputFile, KeepsTheSetIdBitsOfAnUnprivilegedOwner) {
    const fs::path directory = fresh_directory("set-id");
    const std::string out = (directory / "out").string();
    put(out, "old");
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chmod(directory.c_str(), 0777), 0);
        ASSERT_EQ(chown(out.c_str(), 65534, 65534), 0);
    }
    ASSERT_EQ(chmod(out.c_str(), 06755), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (root && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
        _exit(write_output(out, "new").empty() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    struct stat st;
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 06755u);
    EXPECT_EQ(slurp(out), "new");
}

// What a device gets is held until commit, and no more than the bound: past it a runaway
// writer is refused, while what was held stays whole.
TEST(OutputFile, HoldsForADeviceNoMoreThanItsBound) {
    const fs::path directory = fresh_directory("bound");
    const std::string fifo = (directory / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // The FIFO's reader counts what it gets, once the writer opens it at commit.
    const std::string count = (directory / "count").string();
    ASSERT_EQ(std::system(("wc -c <'" + fifo + "' >'" + count + "' &").c_str()), 0);
    {
        OutputFile output(fifo, "tool", -1);
        const std::string mebibyte(std::size_t{1} << 20, 'x');
        for (std::size_t held = 0; held < OutputFile::most_held; held += mebibyte.size()) output.write(mebibyte);
        try {
            output.write("x");
            ADD_FAILURE() << "a byte past the bound was held";
        } catch (const std::runtime_error& refused) {
            EXPECT_EQ(std::string(refused.what()),
                      fifo + ": cannot write it: more than 256 MiB to hold until it is whole, more than any table or picture");
        }
        output.commit();
    }
    for (int wait = 0; wait < 100 && slurp(count).empty(); ++wait) usleep(100000);
    EXPECT_EQ(slurp(count), "268435456\n");
}

// A name of a descriptor this process holds is written through that descriptor, where it
// stands (here appending): what the file held stays, and nothing else is made.
TEST(OutputFile, WritesThroughItsOwnDescriptorAtItsPosition) {
    const fs::path directory = fresh_directory("descriptors");
    const std::string log = (directory / "log").string();
    put(log, "old\n");
    const int fd = open(log.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    const std::string link = (directory / "to-fd").string();
    ASSERT_EQ(symlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link.c_str()), 0);
    for (const std::string& name : {"/dev/fd/" + std::to_string(fd), "/proc/self/fd/" + std::to_string(fd), link}) {
        const std::string held = slurp(log);
        OutputFile output(name, "tool", -1);
        output.write(name + "\n");
        EXPECT_EQ(slurp(log), held) << "written before commit: " << name;
        output.commit();
    }
    close(fd);
    EXPECT_EQ(slurp(log), "old\n/dev/fd/" + std::to_string(fd) + "\n/proc/self/fd/" + std::to_string(fd) + "\n" + link + "\n");
    EXPECT_EQ(entries(directory), (std::vector<std::string>{"log", "to-fd"}));
    EXPECT_TRUE(fs::is_symlink(link));
}
#endif

}  // namespace
