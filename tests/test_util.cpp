#include "test_util.h"

#include <fstream>
#include <regex>
#include <sys/wait.h>

std::string errorMessage(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no error";
}

namespace {
std::string captured(void (*begin)(), std::string (*end)(), const std::function<void()>& f) {
    begin();
    try {
        f();
    } catch (...) {
        end();  // stop capturing
        throw;
    }
    return end();
}
}  // namespace

std::string stderrOf(const std::function<void()>& f) {
    return captured(testing::internal::CaptureStderr, testing::internal::GetCapturedStderr, f);
}

std::string stdoutOf(const std::function<void()>& f) {
    return captured(testing::internal::CaptureStdout, testing::internal::GetCapturedStdout, f);
}

std::vector<double> jsonNumbers(const std::string& json, const std::string& key) {
    std::regex number("\"" + key + R"(":\s*([-0-9.eE+]+))");
    std::vector<double> values;
    for (std::sregex_iterator it(json.begin(), json.end(), number), end; it != end; ++it)
        values.push_back(std::stod((*it)[1]));
    return values;
}

fs::path makeTempDir() {
    static std::mt19937_64 rng(std::random_device{}());
    fs::path dir = fs::temp_directory_path() / ("korvel-test-" + std::to_string(rng()));
    fs::create_directories(dir);
    return dir;
}

fs::path writeFile(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
    return file;
}

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

RunResult runCommand(const std::string& command, const std::map<std::string, std::string>& env) {
    fs::path dir = makeTempDir();
    std::string prefix;
    for (auto& [k, v] : env) prefix += k + "=" + shellQuote(v) + " ";
    std::string line =
        prefix + command + " >" + q(dir / "out") + " 2>" + q(dir / "err") + " </dev/null";
    int raw = std::system(line.c_str());
    RunResult r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readFile(dir / "out"),
                readFile(dir / "err")};
    fs::remove_all(dir);
    return r;
}

RunResult runKorvel(const std::string& args, const std::map<std::string, std::string>& env) {
    return runCommand(shellQuote(KORVEL_EXE) + " " + args, env);
}

bool commandsInstalled(const std::string& names) {
    std::istringstream each(names);
    for (std::string name; each >> name;)
        if (runCommand("command -v " + shellQuote(name)).status != 0) return false;
    return true;
}

fs::path sharedDir() {
    fs::path dir = KORVEL_SHARED_DIR;
    return fs::exists(dir / "rigs") ? fs::canonical(dir) : fs::path();
}

void copyRig(const fs::path& from, const fs::path& to) {
    fs::create_directories(to);
    for (const auto& entry : fs::directory_iterator(from)) {
        fs::path name = entry.path().filename();
        if (name == "rig.pts")
            fs::copy_file(entry.path(), to / name);
        else if (name.extension() != ".pts")
            fs::create_symlink(entry.path(), to / name);
    }
}

double degreesApart(const glm::mat3& one, const glm::mat3& other) {
    double squares = 0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) squares += std::pow(double(one[i][j]) - double(other[i][j]), 2);
    return 2 * std::asin(std::min(1.0, std::sqrt(squares) / (2 * std::sqrt(2.0)))) * 180 / M_PI;
}
