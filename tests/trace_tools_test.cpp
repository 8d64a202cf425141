#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>
#include <sys/wait.h>

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// `text` without its last line feed, as a message quotes it.
std::string trimmed(std::string text) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

// The suite's folder, one for each process that runs it: the program's trace and its table, and stand-ins for gnuplot, each
// in a folder of its own to put first on the PATH: `record` keeps the script it is fed in
// fed.gp and answers with the end of a whole picture of the format asked for; `partial`
// answers with a PNG that stops short, and ends well, `cut-iend` with one cut inside its IEND chunk; `failing` fails as gnuplot does, after the end of an SVG;
// `hang` never ends; `big` answers with an SVG of 100 kB; `runaway` answers without end;
// `deaf` ends at once without reading its script, leaving a process that holds its outputs 3 s.
const std::string base = ::testing::TempDir() + "trace_tools_test." + std::to_string(getpid());
const std::map<std::string, std::string> stand_ins = {
    {"record", "cat >fed.gp\ncase $(head -n 1 fed.gp) in\n"
               "  *png*) printf '\\000\\000\\000\\000IEND\\256B`\\202' ;;\n"
               "  *svg*) echo '</svg>' ;;\n  *) echo '%%EOF' ;;\nesac\n"},
    {"partial", "cat >/dev/null\nprintf '\\211PNG\\r\\n\\032\\nIHDR'\n"},
    {"cut-iend", "cat >/dev/null\nprintf '\\211PNG\\r\\n\\032\\n\\000\\000\\000\\000IEND\\256B'\n"},
    {"failing", "cat >/dev/null\necho '</svg>'\necho '         line 3: no such terminal' >&2\nexit 1\n"},
    {"hang", "echo $$ >gnuplot.pid\nexec sleep 30\n"},
    {"big", "cat >/dev/null\nhead -c 100000 /dev/zero | tr '\\0' ' '\necho '</svg>'\n"},
    {"deaf", "sleep 3 </dev/null &\nexit 0\n"},
    {"runaway", "echo $$ >gnuplot.pid\ncat >/dev/null\nexec cat /dev/zero\n"},
};

// Runs `script` with sh in `folder` (made anew if `fresh`), its output to run.out and run.err there (so that a
// command may write a file named out that its check then reads), after defining the programs as shell variables (each through the
// emulator in a cross build, named by its full path, so that a changed PATH still finds
// it): $transition, $csv, $plot, $study and $plot_study; $trace, $table, $sweep and $grid
// are the suite's, and all are exported.
// Returns the exit status, or 128 + the signal that ended the script.
int shell(const std::string& folder, const std::string& script, bool fresh = true) {
    if (fresh) std::system(("rm -rf '" + folder + "' && mkdir -p '" + folder + "'").c_str());
    std::ofstream(folder + "/run.sh")
        << "emulator='" EMULATOR "'\n"
        << "if [ -n \"$emulator\" ]; then set -- $emulator; first=$(command -v \"$1\"); shift;"
           " emulator=\"$first $*\"; fi\n"
        << "transition=\"$emulator " TRANSITION "\" csv=\"$emulator " TRANSITION_CSV "\"\n"
        << "plot=\"$emulator " TRANSITION_PLOT "\"\n"
        << "study=\"$emulator " TRANSITION_STUDY "\" plot_study=\"$emulator " TRANSITION_PLOT_STUDY "\"\n"
        << "trace='" << base << "/trace' table='" << base << "/table.csv' base='" << base << "'\n"
        << "sweep='" << base << "/sweep.csv' grid='" << base << "/grid.csv'\n"
        << "export transition csv plot study plot_study trace table sweep grid base\n"
        << script << "\n";
    const int raw = std::system(("cd '" + folder + "' && sh run.sh >run.out 2>run.err").c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

// One run of a tool: the command, the exit status and the start of the one line on standard
// error that it must give (none if empty), and a shell test of what it left that must hold.
// Every run leaves no temporary file behind.
struct Run {
    const char* what;
    std::string command;
    int status;
    std::string message;
    std::string check;
};

void expect_runs(const std::vector<Run>& runs) {
    for (const Run& run : runs) {
        const std::string folder = base + "/run";
        EXPECT_EQ(shell(folder, run.command), run.status) << run.what << ": " << slurp(folder + "/run.err");
        const std::string err = slurp(folder + "/run.err");
        if (run.message.empty()) {
            EXPECT_EQ(err, "") << run.what;
        } else {
            EXPECT_EQ(err.substr(0, run.message.size()), run.message) << run.what;
            EXPECT_EQ(err.find('\n'), err.size() - 1) << run.what << ": not one line: " << err;
        }
        if (!run.check.empty()) {
            EXPECT_EQ(shell(folder, run.check, false), 0) << run.what << ": " << run.check;
        }
        EXPECT_EQ(shell(folder, "test -z \"$(find . -name '.transition-*')\"", false), 0)
            << run.what << ": a temporary file left behind";
    }
}

class TraceTools : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::system(("rm -rf '" + base + "' && mkdir -p '" + base + "'").c_str());
        // A sweep of one key, given in falling order, whose designs stop by lift, by the step
        // cap and as invalid; a 2 x 2 grid with an invalid column.
        std::string script = "$transition >trace && $csv trace >table.csv && "
                             "$study --jobs 1 --sweep 'propeller_thrust[1]=-1.0136,-3,-8' >sweep.csv && "
                             "$study --jobs 1 --sweep mass=30,20 --sweep 'propeller_thrust[1]=-1.0136,-8' >grid.csv\n";
        for (const auto& [name, body] : stand_ins)
            script += "mkdir " + name + " && printf '#!/bin/sh\\n%s' '" + escaped(body) + "' >" + name +
                      "/gnuplot && chmod +x " + name + "/gnuplot\n";
        ASSERT_EQ(shell(base, script, false), 0) << slurp(base + "/run.err");
    }
    static void TearDownTestSuite() { std::system(("rm -rf '" + base + "'").c_str()); }
    // `text` for a shell's single quotes.
    static std::string escaped(const std::string& text) {
        std::string e;
        for (char c : text) e += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return e;
    }
    static bool has_gnuplot() { return GNUPLOT[0] != '\0'; }
};

TEST_F(TraceTools, TabulatesTheRunFromAFileOrStandardInput) {
    const std::string table = slurp(base + "/table.csv");
    EXPECT_EQ(table.substr(0, table.find('\n')), "t,a,v,x,w,Q,lift,thrust,drag,alpha,Cx,Cz");
    EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 373);
    expect_runs({
        {"standard input", "$transition | $csv - stdin.csv", 0, "", "cmp stdin.csv $table"},
        {"a run cut in mid-line", "{ head -n 998 $trace; sed -n 999p $trace | head -c -3; } >cut; $csv cut cut.csv",
         0, "transition-csv: warning: cut has no summary line (the run was cut short); its 110 complete steps are kept",
         "head -n 111 $table | cmp - cut.csv"},
        {"a run cut short, its name with a carriage return", "head -n 1000 $trace >\"$(printf 'c\\rt')\"; $csv c?t cut.csv",
         0, "transition-csv: warning: c\\rt has no summary line (the run was cut short); its 111 complete steps are kept",
         "head -n 112 $table | cmp - cut.csv"},
    });
}

// Every row of a sweep's CSV whole: as many fields as the header, and the last line ended.
const std::string whole_rows = "test -s big.csv && test -z \"$(awk -F, 'NR > 1 && NF != 18' big.csv)\" && "
                               "test \"$(tail -c 1 big.csv | od -An -c | tr -d ' ')\" = '\\n'";

// Refused: no output, OUT as it was, one line that says why.
TEST_F(TraceTools, RefuseWhatTheyCannotMakeWholeAndLeaveOutAsItWas) {
    const std::string on_path = "PATH=$base/record:$PATH ";
    expect_runs({
        {"empty trace", ": >empty; $csv empty out.csv", 1, "empty: no complete step, not a transition trace",
         "test ! -e out.csv"},
        {"junk trace", "echo hello >junk; $csv junk out.csv", 1, "junk:1: expected a coefficient line", "test ! -e out.csv"},
        {"missing trace", "$csv missing out.csv", 1,
         "transition-csv: missing: cannot open it: No such file or directory", "test ! -e out.csv"},
        // Control characters in a name or a field reach the terminal escaped, the message one line.
        {"a missing trace whose name holds escapes", "$csv \"$(printf 'x\\033[31m\\302\\233')\" out.csv", 1,
         "transition-csv: x\\x1b[31m\\xc2\\x9b: cannot open it: No such file or directory", "test ! -e out.csv"},
        {"a junk trace whose name holds a line feed", "echo hello >\"$(printf 'j\\nk')\"; $csv \"$(printf 'j\\nk')\" out.csv", 1,
         "j\\nk:1: expected a coefficient line", "test ! -e out.csv"},
        {"a stop that clears the screen", "sed '3s/,cap,/,\\x1b[2J\\t,/' $sweep >bad.csv; " + on_path + "$plot_study bad.csv keep.png", 1,
         "bad.csv:3: expected a stop of lift, speed, cap or invalid, not '\\x1b[2J\\t'", "test ! -e keep.png"},
        {"junk over a picture", "echo old >keep.png; echo hello >junk; " + on_path + "$plot junk keep.png", 1,
         "junk:1: expected", "test \"$(cat keep.png)\" = old"},
        {"endless lines", "yes | timeout 20 $csv - out.csv", 1,
         "standard input:1: expected a coefficient line", "test ! -e out.csv"},
        {"an endless line", "tr '\\0' a </dev/zero | timeout 20 $csv - out.csv", 1,
         "standard input:1: expected a line of at most", "test ! -e out.csv"},
        {"picture of unknown format", "$plot $trace run.jpg", 2,
         "usage: transition-plot TRACE|- OUT.png|OUT.svg|OUT.pdf", "test ! -e run.jpg"},
        {"a name too many", "$csv a b c", 2, "usage: transition-csv TRACE|- [OUT.csv|-]", ""},
        {"partial picture from a gnuplot that ends well",
         "echo old >keep.png; PATH=$base/partial:$PATH $plot $trace keep.png", 1,
         "transition-plot: gnuplot could not draw keep.png: the picture is incomplete", "test \"$(cat keep.png)\" = old"},
        // A script longer than a pipe holds (800 steps), for gnuplot that is gone: the tool waits
        // for the outputs to close without spinning, within a second of processor time.
        {"gnuplot gone without reading its script",
         "{ head -n 3348 $trace; head -n 3348 $trace; head -n 504 $trace; tail -n 2 $trace; } >t; "
         "(ulimit -t 1; PATH=$base/deaf:$PATH $plot t keep.png)", 1,
         "transition-plot: gnuplot could not draw keep.png: the picture is incomplete", "test ! -e keep.png"},
        {"a PNG cut inside its IEND chunk", "echo old >keep.png; PATH=$base/cut-iend:$PATH $plot $trace keep.png", 1,
         "transition-plot: gnuplot could not draw keep.png: the picture is incomplete", "test \"$(cat keep.png)\" = old"},
        {"a picture over its own trace", "cp $trace t.svg; " + on_path + "$plot t.svg t.svg", 1,
         "transition-plot: t.svg: is the input itself, left as it is", "cmp t.svg $trace"},
        {"gnuplot failing", "PATH=$base/failing:$PATH $plot $trace keep.png", 1,
         "transition-plot: gnuplot could not draw keep.png: line 3: no such terminal", "test ! -e keep.png"},
        // Started with SIGCHLD ignored, the tool still learns how gnuplot ended.
        {"gnuplot failing, SIGCHLD ignored", "echo old >keep.svg; PATH=$base/failing:$PATH env --ignore-signal=CHLD $plot $trace keep.svg", 1,
         "transition-plot: gnuplot could not draw keep.svg: line 3: no such terminal", "test \"$(cat keep.svg)\" = old"},
        // A file size limit (ulimit -f, in blocks of 512 bytes or more) far below the table's.
        {"a file size limit", "echo old >keep.csv; (ulimit -f 10; $csv $trace keep.csv)", 1,
         "transition-csv: keep.csv: cannot write it: File too large", "test \"$(cat keep.csv)\" = old"},
        {"a file size limit under a picture", "echo old >keep.svg; (ulimit -f 10; PATH=$base/big:$PATH $plot $trace keep.svg)",
         1, "transition-plot: keep.svg: cannot write it: File too large", "test \"$(cat keep.svg)\" = old"},
        {"a picture without end to a device", "ln -s /dev/null null.png; PATH=$base/runaway:$PATH timeout 60 $plot $trace null.png",
         1, "transition-plot: null.png: cannot write it: more than 256 MiB to hold until it is whole",
         "! kill -0 $(cat gnuplot.pid) 2>/dev/null"},
        {"no gnuplot", "PATH=/nonexistent $plot $trace keep.png", 1,
         "transition-plot: gnuplot not found; install it with: apt-get install gnuplot-nox", "test ! -e keep.png"},
        {"a sweep cut in mid-row", "echo old >keep.png; head -c -20 $sweep >cut.csv; " + on_path + "$plot_study cut.csv keep.png",
         1, "cut.csv:4: expected a line feed at the end of every line", "test \"$(cat keep.png)\" = old"},
        {"an unknown stop", "sed '3s/,cap,/,capped,/' $sweep >bad.csv; " + on_path + "$plot_study bad.csv keep.png", 1,
         "bad.csv:3: expected a stop of lift, speed, cap or invalid, not 'capped'", "test ! -e keep.png"},
        {"a located moment for a design stopped by the step cap",
         "sed '3s/,,/,1,/' $sweep >bad.csv; " + on_path + "$plot_study bad.csv keep.png", 1,
         "bad.csv:3: expected event_t empty for a design stopped by the step cap, not '1'", "test ! -e keep.png"},
        {"a note on a design that is not invalid", "sed '2s/,$/,why/' $sweep >bad.csv; " + on_path + "$plot_study bad.csv keep.png",
         1, "bad.csv:2: expected no note for a design that is not invalid", "test ! -e keep.png"},
        {"a located moment in part", "awk -F, -v OFS=, 'NR == 2 { $9 = $11 = \"\" } { print }' $sweep >bad.csv; " + on_path +
         "$plot_study bad.csv keep.png", 1,
         "bad.csv:2: expected all four event_* figures or none (a moment not located), not 2 of them", "test ! -e keep.png"},
        {"a decimal comma", "sed '2s/^-1.0136,/-1,0136,/' $sweep >bad.csv; " + on_path + "$plot_study bad.csv keep.png", 1,
         "bad.csv:2: expected 18 fields, as in the header, not 19", "test ! -e keep.png"},
        {"three swept keys", "$study --jobs 1 --sweep mass=20 --sweep gravity=9.81 --sweep wing_area=1 >three.csv; " +
         on_path + "$plot_study three.csv keep.png", 1,
         "transition-plot-study: three.csv: a sweep of 3 keys (mass, gravity, wing_area); only one or two keys can be drawn",
         "test ! -e keep.png"},
        // The study: bad input, an aircraft the model cannot fly and a lost output are one
        // line and status 1 with nothing on standard output, usage errors status 2.
        {"a missing vehicle file", "$study missing.toml >out", 1,
         "missing.toml: cannot read it: No such file or directory", "test ! -s out"},
        {"an aircraft out of the model's range, traced", "$study --trace --set 'propeller_thrust=[10, -2, 0]' >out", 1,
         "transition-study: the model leaves its range: propeller thrust -", "test ! -s out"},
        {"an unknown option", "$study --bogus >out", 2, "transition-study: The following argument was not expected",
         "test ! -s out"},
        {"a traced sweep", "$study --trace --sweep mass=20:30:3 >out", 2, "transition-study: ", "test ! -s out"},
        {"a full disk", "$study >/dev/full", 1, "transition-study: cannot write the row: No space left on device", ""},
        // TERM stops a sweep between two rows.
        // INT, TERM or HUP (a closed terminal) stop a sweep between two rows, on any number of
        // threads: every row written is whole, and the signal ends the program.
        {"a sweep ended by TERM", "$study --jobs 2 --sweep mass=20:30:1000000 >big.csv & sleep 2; kill -TERM $!; wait $! 2>/dev/null",
         143, "transition-study: interrupted after ", whole_rows},
        {"a sweep on one thread ended by TERM",
         "$study --jobs 1 --sweep mass=20:30:1000000 >big.csv & sleep 2; kill -TERM $!; wait $! 2>/dev/null", 143,
         "transition-study: interrupted after ", whole_rows},
        {"a sweep ended by HUP", "$study --jobs 2 --sweep mass=20:30:1000000 >big.csv & sleep 2; kill -HUP $!; wait $! 2>/dev/null",
         129, "transition-study: interrupted after ", whole_rows},
        // A failed write stops the sweep at once (not after a billion designs), with its own reason.
        {"a sweep whose reader has gone",
         "{ timeout 120 $study --jobs 2 --sweep mass=20:30:1000000000 2>e; echo $? >s; } | head -c 10 >/dev/null; "
         "cat e >&2; exit $(cat s)",
         1, "transition-study: cannot write the sweep: Broken pipe", ""},
        {"a sweep to a full disk", "$study --jobs 2 --sweep mass=20:30:100000 >/dev/full", 1,
         "transition-study: cannot write the sweep: No space left on device", ""},
        {"the vehicle to a full disk", "$study --show-vehicle >/dev/full", 1,
         "transition-study: cannot write the vehicle: No space left on device", ""},
        {"a trace whose reader has gone", "{ $study --trace 2>e; echo $? >s; } | head -c 10 >/dev/null; cat e >&2; exit $(cat s)",
         1, "transition-study: cannot write the trace: Broken pipe", ""},
        // A reader slower than the threads: the finished rows wait in a bounded window.
        {"a slow reader", "$study --jobs 1 --sweep mass=20:30:3000 >one.csv && "
                          "timeout 120 $study --jobs 3 --sweep mass=20:30:3000 | (sleep 3; cat) >three.csv",
         0, "", "cmp one.csv three.csv"},
        // Numbers read whole, or refused.
        {"a shard past 32 bits", "$study --sweep mass=20:30:3 --shard 1/4294967297 >out", 1,
         "transition-study: --shard 1/4294967297: N must be from 1 to 1000000000, not 4294967297", "test ! -s out"},
        {"threads that are no number", "$study --sweep mass=20:30:3 --jobs abc >out", 1,
         "transition-study: --jobs abc: the number of threads must be a whole number, not 'abc'", "test ! -s out"},
        // Given empty is given: refused as any other text that is no number, not taken as unset.
        {"threads given empty", "$study --sweep mass=20,30 --jobs '' >out", 1,
         "transition-study: --jobs : the number of threads must be a whole number, not ''", "test ! -s out"},
        {"a shard given empty", "$study --sweep mass=20,30 --shard '' >out", 1,
         "transition-study: --shard : expected K/N", "test ! -s out"},
        {"a setting with a line feed", "$study --set \"$(printf 'mass=30\\nwing_area=2')\" >out", 1,
         "transition-study: --set mass=30\\nwing_area=2: mass: expected one value on one line", "test ! -s out"},
        {"a table with one key alone", "printf 'mass = 30\\nschedule_angle = [0, 0.1]\\n' >t.toml; $study t.toml >out", 1,
         "t.toml:2: schedule_angle: expected schedule_speed too", "test ! -s out"},
        {"a knot of a cubic's vehicle swept", "$study --sweep 'schedule_angle[3]=0:0.2:5' >out", 1,
         "transition-study: --sweep schedule_angle[3]=0:0.2:5: schedule_angle: the vehicle's schedule is the cubic",
         "test ! -s out"},
        {"a key of 200,000 dotted parts",
         "yes a | head -n 200000 | paste -sd. - | sed 's/$/ = 1/' >deep.toml; $study deep.toml >out",
         1, "deep.toml:1: expected a key of at most 16 dotted parts", "test ! -s out"},
        {"a range whose middle overflows", "$study --jobs 2 --sweep mass=1:1.5e308:4 >out", 0, "",
         "test $(grep -c ',invalid,' out) = 3 && test $(wc -l <out) = 5"},
    });
    // Threads the system will not give: the sweep runs on those it could start. Address
    // space is what runs out, which the sanitizers' and the emulators' own reservations
    // would exhaust first.
    if (!SANITIZED && std::string(EMULATOR).empty()) {
        expect_runs({{"more threads than memory allows",
                      "(ulimit -v 300000; $study --sweep mass=20:30:100 --jobs 64 >many.csv)", 0, "",
                      "test $(wc -l <many.csv) = 101"}});
    }
}

// The best design within a box: the same bytes on any number of threads, its vehicle file
// written beside, and each refusal one line with nothing on standard output.
TEST_F(TraceTools, SeeksTheBestDesignOrSaysWhyNot) {
    if (!OPTIMIZE) {
        expect_runs({{"an optimum where NLopt is not built", "$study --minimize event_w --vary mass=20:30 >out", 1,
                      "transition-study: --minimize and --maximize are not built here", "test ! -s out"}});
        return;
    }
    const std::string seek = "$study --minimize event_w --vary mass=20:30 --require 'event_x>=150' ";
    // The farthest distance before the step cap: long enough to be stopped midway.
    const std::string slow = "$study --jobs 1 --maximize event_x --vary mass=18.0:32.0 "
                             "--vary 'angle_of_attack[0]=-0.2:0.05' --vary 'angle_of_attack[2]=-0.0005:0.001' "
                             "--require 'event_w>=25416.8' --require 'event_v>=16.4326'";
    expect_runs({
        {"an optimum on one thread and on two", seek + "--jobs 1 >one.csv && " + seek + "--jobs 2 --save-vehicle best.toml >two.csv",
         0, "",
         "cmp one.csv two.csv && test $(wc -l <one.csv) = 2 && "
         "head -n 1 one.csv | grep -q '^mass,stop,.*,peak_acceleration,event_x>=150,note$' && "
         "test \"$($study best.toml | tail -n 1)\" = \"$(tail -n 1 one.csv | cut -d, -f2-17)\""},
        {"no design meets them all", "$study --minimize event_w --vary mass=20:30 --require 'event_x<=10' >out", 1,
         "transition-study: no design in the box meets every requirement; the nearest to being met is event_x<=10, "
         "missed by 122.9807979440721 (12.29807979440721 times its value's size; event_x 132.9807979440721 at "
         "best); the design nearest to meeting them all is mass=20 (event_x 132.98079794407212)",
         "test ! -s out"},
        {"a step-end figure", "$study --minimize w --vary mass=20:30 >out", 1,
         "transition-study: --minimize w: w is taken at the end of the stopping step", "test ! -s out"},
        {"an empty objective", "$study --minimize '' --vary mass=20:30 >out", 1,
         "transition-study: --minimize : expected one of event_t, event_v, event_x, event_w", "test ! -s out"},
        {"two objectives", "$study --minimize event_w --minimize event_x --vary mass=20:30 >out", 2,
         "transition-study: --minimize given 2 times; it takes one value", "test ! -s out"},
        {"the rotor count varied", "$study --maximize event_t --vary lift_rotors=2:8 >out", 1,
         "transition-study: --vary lift_rotors=2:8: lift_rotors is a whole number and cannot be varied", "test ! -s out"},
        {"a requirement with no bound", "$study --minimize event_w --vary mass=20:30 --require 'event_x<200' >out", 1,
         "transition-study: --require event_x<200: expected COLUMN<=VALUE, COLUMN>=VALUE or COLUMN==VALUE",
         "test ! -s out"},
        {"a sweep and an optimum", "$study --minimize event_w --vary mass=20:30 --sweep wing_area=1,2 >out", 2,
         "transition-study: ", "test ! -s out"},
        {"derivatives and a sweep", "$study --derivatives --sweep wing_area=1,2 >out", 2, "transition-study: ",
         "test ! -s out"},
        {"derivatives and an optimum", "$study --derivatives --minimize event_w --vary mass=20:30 >out", 2,
         "transition-study: ", "test ! -s out"},
        {"derivatives and a trace", "$study --derivatives --trace >out", 2, "transition-study: ", "test ! -s out"},
        {"a box without an objective", "$study --vary mass=20:30 >out", 2,
         "transition-study: --vary needs --minimize or --maximize", "test ! -s out"},
        // Each requirement's cost as a column named as it was given; what rests on a bound said.
        {"a binding stall limit's cost",
         "$study --minimize event_w --vary 'angle_of_attack[1]=0:0.01' --vary 'angle_of_attack[2]=0:0.001' "
         "--vary 'angle_of_attack[3]=0:0.0001' --require 'peak_alpha<=0.12' --require 'event_x<=250' >best.csv 2>err",
         0, "",
         "head -n 1 best.csv | grep -q ',peak_acceleration,peak_alpha<=0.12,event_x<=250,note$' && "
         "tail -n 1 best.csv | grep -q ',-2795[0-9.]*,0,$' && "
         "grep -qx 'transition-study: angle_of_attack\\[1\\] rests on its lower bound, 0: a wider box may do better' err"},
        {"an equality", seek.substr(0, seek.find("--require")) + "--require 'event_x==150' >best.csv", 0, "",
         "tail -n 1 best.csv | cut -d, -f11 | grep -q '^1[45][09]\\.'"},
        // The worked example of docs/optimisation.md, its header and row as the page shows them.
        {"the least-energy schedule of docs/optimisation.md",
         "$study --minimize event_w --vary 'angle_of_attack[1]=0:0.01' --vary 'angle_of_attack[2]=0:0.001' "
         "--vary 'angle_of_attack[3]=0:0.0001' --require 'peak_alpha<=0.2094' --require 'event_x<=250' >best.csv 2>err",
         0, "",
         "test $(wc -l <best.csv) = 2 && grep -qxF \"$(head -n 1 best.csv)\" '" OPTIMISATION_PAGE "' && "
         "grep -qxF \"$(tail -n 1 best.csv)\" '" OPTIMISATION_PAGE "'"},
        // Every knot of a table, its values' columns named knot by knot, those on a bound said in a line.
        {"a table optimised knot by knot",
         "$study '" EXAMPLES "/hover-table.toml' --minimize event_w --vary 'schedule_angle=-0.040786:0.2094' "
         "--require 'event_x<=250' --jobs 1 >best.csv 2>err",
         0, "",
         "head -n 1 best.csv | grep -q '^schedule_angle\\[0\\],.*,schedule_angle\\[25\\],stop,' && "
         "grep -qx 'transition-study: schedule_angle\\[0\\] to schedule_angle\\[12\\] rest on their lower bound, "
         "-0.040786: a wider box may do better' err"},
        {"a vehicle file that cannot be written", seek + "--save-vehicle missing/best.toml >out", 1,
         "transition-study: missing/best.toml: cannot write it: No such file or directory", "test ! -s out"},
    });
    // Stopped by a signal (TERM here: a background job of a script starts with INT ignored,
    // and so it stays), it says what it had on standard error alone, and ends by the signal.
    // The signal is sent once the search has blocked it for its own thread to take (TERM is
    // bit 14 of the blocked mask), so that it cannot come before.
    expect_runs({{"an optimisation stopped",
                  slow + " >out & while kill -0 $! 2>/dev/null && "
                         "! grep -q '^SigBlk:.*[4567cdef][0-9a-f][0-9a-f][0-9a-f]$' /proc/$!/status; do :; done; "
                         "kill -TERM $!; wait $! 2>/dev/null",
                  143, "transition-study: interrupted after ", "test ! -s out"}});
}

// Outputs that are not a regular file, or that are one under another name (the writer's
// own tests have the rest).
TEST_F(TraceTools, WriteThroughStreamsAndDevicesAndRefuseTheTraceItself) {
    expect_runs({
        {"a FIFO", "mkfifo fifo; cat fifo >from-fifo & $csv $trace fifo && wait $!", 0, "",
         "test -p fifo && cmp from-fifo $table"},
        {"standard output appending to a log", "echo old >log; $csv $trace /dev/stdout >>log", 0, "",
         "{ echo old; cat $table; } | cmp - log"},
        {"a thread's own descriptor appending to a log", "echo old >log; $csv $trace /proc/thread-self/fd/1 >>log", 0, "",
         "{ echo old; cat $table; } | cmp - log"},
        {"standard output between two lines",
         "{ echo header; $csv $trace /dev/stdout || exit; echo footer; } >f", 0, "",
         "{ echo header; cat $table; echo footer; } | cmp - f"},
        {"names beginning with '-'", "mkdir -- -d && cp $trace ./-t && $csv -t -d/out.csv", 0, "",
         "cmp -- -d/out.csv $table"},
        {"no TMPDIR", "TMPDIR=/nonexistent $csv $trace out.csv", 0, "", "cmp out.csv $table"},
        // As root, a tool that replaced devices could replace /dev/full: it gets a node of its own.
        {"a full device", "full=/dev/full; [ $(id -u) -ne 0 ] || { mknod full c 1 7 && full=full; }; $csv $trace $full 2>e; "
         "s=$?; cat e >&2; exit $s",
         1, "transition-csv: ", "grep -q ': cannot write it: No space left on device$' e && { test ! -e full || test -c full; }"},
        {"the trace through standard output", "cp $trace t; $csv t /dev/stdout >>t", 1,
         "transition-csv: /dev/stdout: is the input itself, left as it is", "cmp t $trace"},
    });
}

// A closed standard descriptor stays closed to what the tool opens: reading or writing it
// fails as it would, each message names what failed, and a warning or help that cannot be
// given is a failure, not an output passed off as whole.
TEST_F(TraceTools, FailOnAClosedStandardDescriptorAsOnAnyOther) {
    const std::string on_path = "PATH=$base/record:$PATH ";
    const std::string cut = "head -n 1000 $trace | ";
    expect_runs({
        {"standard input closed", "$csv - out.csv <&-", 1,
         "transition-csv: standard input: cannot read it: Bad file descriptor", "test ! -e out.csv"},
        {"standard input closed, a picture", on_path + "$plot - out.png <&-", 1,
         "transition-plot: standard input: cannot read it: Bad file descriptor", "test ! -e out.png"},
        {"standard output closed", "$csv $trace >&-", 1, "transition-csv: -: cannot write it: Bad file descriptor", ""},
        {"standard output closed, by name", "$csv $trace /dev/stdout >&-", 1,
         "transition-csv: /dev/stdout: cannot write it: Bad file descriptor", ""},
        {"standard error closed, a run cut short", "{ " + cut + "$csv - out.csv 2>&-; } 2>/dev/null; test $? = 1",
         0, "", "test ! -e out.csv"},
        {"standard error closed, a picture of a run cut short",
         "{ " + cut + on_path + "$plot - out.png 2>&-; } 2>/dev/null; test $? = 1", 0, "", "test ! -e out.png"},
        {"standard error closed, a whole run", "$csv $trace out.csv 2>&-", 0, "", "cmp out.csv $table"},
        {"help to a full disk", "$csv --help >/dev/full", 1, "transition-csv: cannot write the help: No space left on device", ""},
        {"help to a closed standard output", "$plot --help >&-", 1,
         "transition-plot: cannot write the help: Bad file descriptor", ""},
        {"help of the sweep's picture to a full disk", "$plot_study -h >/dev/full", 1,
         "transition-plot-study: cannot write the help: No space left on device", ""},
        {"help", "$csv --help >help && grep -q '^Usage: transition-csv' help", 0, "", ""},
    });
}

// INT, TERM and HUP end the tool, by that signal, and what it started; OUT stays as it was.
TEST_F(TraceTools, SignalsEndTheToolAndWhatItStartedLeavingOutAsItWas) {
    expect_runs({
        {"HUP while the trace comes in",
         "echo old >keep.csv; mkfifo slow; $csv - keep.csv <slow & pid=$!; exec 3>slow; cat $trace >&3; "
         "sleep 1; kill -HUP $pid; wait $pid 2>/dev/null",
         128 + SIGHUP, "", "test \"$(cat keep.csv)\" = old"},
        {"TERM while gnuplot draws",
         "echo old >keep.png; PATH=$base/hang:$PATH $plot $trace keep.png & pid=$!; "
         "while [ ! -s gnuplot.pid ]; do sleep 0.1; done; kill -TERM $pid; wait $pid 2>/dev/null",
         128 + SIGTERM, "", "test \"$(cat keep.png)\" = old && ! kill -0 $(cat gnuplot.pid)"},
    });
}

// A small file system of the test's own needs a user and mount namespace (unshare -rm),
// which some containers forbid: there the case is skipped. ctest prints a skipped test's
// name but never its output, so the name says when it is skipped; the message says why.
TEST_F(TraceTools, FullDiskLeavesOutAsItWas_SkippedWhereUserNamespacesAreForbidden) {
    if (shell(base + "/run", "unshare -rm true") != 0)
        GTEST_SKIP() << "no user namespaces here: unshare -rm true said: " << trimmed(slurp(base + "/run/run.err"));
    // What the small file system holds is seen only inside its namespace.
    expect_runs({{"a 20 kB file system",
                  "mkdir small; unshare -rm sh -c 'mount -t tmpfs -o size=20k tmpfs small && "
                  "echo old >small/old.csv && echo old >small/old.svg && "
                  "{ $csv $trace small/old.csv; a=$?; PATH=$base/big:$PATH $plot $trace small/old.svg; "
                  "test $a$? = 11; } && test \"$(cat small/old.csv small/old.svg | tr -d \"\\n\")\" = oldold && "
                  "test \"$(ls -A small | tr \"\\n\" \" \")\" = \"old.csv old.svg \"' 2>both",
                  0, "", "grep -c ': cannot write it: No space left on device$' both | grep -qx 2"}});
}

TEST_F(TraceTools, FlushesTheDataBeforeRenamingNeedsStrace) {
    if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace not installed";
    const std::string folder = base + "/run";
    // A sanitized build's leak check cannot work under strace's ptrace.
    ASSERT_EQ(shell(folder, "ASAN_OPTIONS=detect_leaks=0 strace -f -o calls -e trace=fsync,rename,renameat,renameat2 "
                            "$csv $trace out.csv"), 0);
    const std::string calls = slurp(folder + "/calls");
    const std::size_t fsync = calls.find("fsync("), rename = calls.find("\"./.transition-csv.");
    EXPECT_NE(fsync, std::string::npos) << calls;
    EXPECT_NE(rename, std::string::npos) << calls;
    EXPECT_LT(fsync, rename) << calls;
    EXPECT_EQ(slurp(folder + "/out.csv"), slurp(base + "/table.csv"));
}

// The title from the script gnuplot is fed: why the run stopped, at the end of its last step.
TEST_F(TraceTools, TitleTellsWhyTheRunStoppedFromTheStepsAndSummary) {
    const std::string summary = "\\nfinal alpha 3.542290 deg, v 18.723291 m/s, x 223.371278 m, w 28347.250350 J";
    const struct {
        const char* what;
        std::string trace;
        std::string title;
    } cases[] = {
        {"the program's run", "cp $trace t", "Transition: wing lift reached the weight after 372 steps (t = 18.60 s)" + summary},
        // Made from the definitions Debian's locales package ships.
        {"a decimal-comma locale", "cp $trace t && localedef -i de_DE -f UTF-8 ./de && "
                                   "export LOCPATH=$PWD LC_ALL=de",
         "Transition: wing lift reached the weight after 372 steps (t = 18.60 s)" + summary},
        {"lift equal to the weight", "sed '3348s/lift [0-9.]*$/lift 245.250000/' $trace >t",
         "Transition: wing lift reached the weight after 372 steps (t = 18.60 s)" + summary},
        // The speed passed 25 m/s by less than the last printed digit.
        {"speed printed as 25 m/s", "sed '3348s/ v [0-9.]* \\(.*\\) lift .*/ v 25.000000 \\1 lift 200.000000/' $trace >t",
         "Transition: speed passed 25 m/s after 372 steps (t = 18.60 s)" + summary},
        // 800 steps, the last the trace's 56th.
        {"the step cap", "{ head -n 3348 $trace; head -n 3348 $trace; head -n 504 $trace; tail -n 2 $trace; } >t",
         "Transition: step cap of 800 steps reached after 800 steps (t = 2.80 s)" + summary},
        // Lift reaches the weight at the 800th step: the run's own order of reasons.
        {"lift at the step cap", "{ head -n 3348 $trace; head -n 3348 $trace; head -n 504 $trace; tail -n 2 $trace; } | "
                                 "sed '7200s/lift [0-9.]*$/lift 245.250000/' >t",
         "Transition: wing lift reached the weight after 800 steps (t = 2.80 s)" + summary},
        {"a run cut short", "head -n 1000 $trace >t",
         "Transition, incomplete trace (no summary line): 111 steps to t = 5.55 s\""},
    };
    for (const auto& c : cases) {
        const std::string folder = base + "/run";
        EXPECT_EQ(shell(folder, c.trace + " && PATH=$base/record:$PATH $plot t t.svg"), 0) << c.what;
        const std::string fed = slurp(folder + "/fed.gp");
        EXPECT_NE(fed.find("\ntitle = \"" + c.title), std::string::npos) << c.what << ": " << fed.substr(fed.find("\ntitle"), 200);
    }
}

// A shell test that an SVG's first shape is a white rectangle over the whole 1400 x 1000 page.
std::string white_page(const std::string& svg) {
    return "grep -m 1 '<rect ' " + svg + " | grep -qF '<rect x=\"0\" y=\"0\" width=\"1400\" height=\"1000\" fill=\"#ffffff\"/>'";
}

TEST_F(TraceTools, DrawsTheRunInEachFormatNeedsGnuplot) {
    if (!has_gnuplot()) GTEST_SKIP() << "gnuplot not installed (apt-get install gnuplot-nox)";
    expect_runs({
        // At least 1200 x 900 pixels; a new file's mode is 0666 less the umask.
        {"PNG from standard input", "umask 0; $transition | $plot - run.png", 0, "",
         "test $(od -An -tu1 -j16 -N8 run.png | awk '{ print ($3 * 256 + $4 >= 1200 && $7 * 256 + $8 >= 900) }') = 1"
         " && test $(stat -c %a run.png) = 666"},
        // The user's own settings are not read: they would run a command here.
        // On a white background, drawn first, the whole page: no viewer shows it transparent.
        {"SVG, the extension in capitals", "mkdir home; echo 'system \"touch ran\"' >home/.gnuplot; "
         "HOME=$PWD/home $plot $trace run.SVG", 0, "",
         "test ! -e ran && grep -q 'wing lift reached the weight after 372 steps (t = 18.60 s)' run.SVG && "
         "tail -c 10 run.SVG | grep -q '</svg>' && " + white_page("run.SVG")},
        {"PDF", "$plot $trace run.Pdf", 0, "", "head -c 5 run.Pdf | grep -q '%PDF-' && tail -c 6 run.Pdf | grep -q '%%EOF'"},
    });
}

// The points of each curve, by its title, as gnuplot computes them from the script that a
// tool's `command` fed the `record` stand-in: each point's numbers, NaN where undefined. The
// table gnuplot writes takes the axes' number formats, which the trace's script blanks for
// the upper panels' x axes.
using Curves = std::map<std::string, std::vector<std::vector<double>>>;
Curves plotted(const std::string& command) {
    const std::string folder = base + "/run";
    EXPECT_EQ(shell(folder, "PATH=$base/record:$PATH; " + command + " && "
                            "{ echo \"set table 'points'\"; sed '/^set format/d' fed.gp; } | " GNUPLOT " -d"), 0)
        << slurp(folder + "/run.err");
    std::ifstream points(folder + "/points");
    Curves curves;
    std::string title;
    for (std::string line; std::getline(points, line);) {
        if (line.rfind("# Curve title: \"", 0) == 0) title = line.substr(16, line.size() - 17);
        if (line.empty() || line[0] == '#') continue;
        std::vector<double> numbers;
        char* end = nullptr;
        for (const char* p = line.c_str();; p = end) {
            const double x = std::strtod(p, &end);
            if (end == p) break;
            numbers.push_back(x);
        }
        curves[title].push_back(numbers);
    }
    return curves;
}

// Each curve's first point is the first step's value at the step's end, t + 0.05 s.
TEST_F(TraceTools, DrawsEachCurveFromItsColumnNeedsGnuplot) {
    if (!has_gnuplot()) GTEST_SKIP() << "gnuplot not installed (apt-get install gnuplot-nox)";
    const std::map<std::string, double> first = {
        {"speed v", 0.099672}, {"distance x", 0.002493}, {"wing lift", 0.002401},
        {"lift-rotor thrust", 247.071767}, {"weight Q", 245.25}, {"lift-rotor energy w", 0.145034656},
        {"angle of attack", -2.334491}};
    const Curves curves = plotted("$plot $trace t.svg");
    ASSERT_EQ(curves.size(), first.size());
    for (const auto& [title, value] : first) {
        const auto curve = curves.find(title);
        ASSERT_TRUE(curve != curves.end() && !curve->second.empty() && curve->second[0].size() == 2) << title;
        EXPECT_DOUBLE_EQ(curve->second[0][0], 0.05) << title;
        EXPECT_NEAR(curve->second[0][1], value, 1e-5 * std::fabs(value)) << title;
    }
}

// One key: a point per design in the key's order, a gap (NaN) where it has no value. Two
// keys: a cell per design reaching halfway to its neighbours, coloured by the value. gnuplot
// prints six digits. The title, as gnuplot draws it, counts the designs that leave gaps: to
// the sweep's three designs (lift, cap, invalid) the first case adds one more invalid and one
// stopped by lift whose moment was not located (its four event_* fields empty).
TEST_F(TraceTools, DrawsASweepPanelPerQuantityWithGapsNeedsGnuplot) {
    if (!has_gnuplot()) GTEST_SKIP() << "gnuplot not installed (apt-get install gnuplot-nox)";
    const double gap = std::nan("");
    const struct {
        const char* what;
        std::string make;  // s.csv
        std::string title;
        Curves points;
    } cases[] = {
        {"one key", "{ cat $sweep; sed -n '4s/^-8,/-9,/p' $sweep; "
                    "sed -n '2s/^-1.0136,/-2,/p' $sweep | awk -F, -v OFS=, '{ $9 = $10 = $11 = $12 = \"\"; print }'; } >s.csv",
         "Sweep of propeller_thrust[1]: 5 designs, 2 invalid, 1 without transition (cap), 1 without located moment",
         {{"located transition time", {{-9, gap}, {-8, gap}, {-3, gap}, {-2, gap}, {-1.0136, 18.5552}}},
          {"distance at that moment", {{-9, gap}, {-8, gap}, {-3, gap}, {-2, gap}, {-1.0136, 222.532}}},
          {"lift-rotor energy by then", {{-9, gap}, {-8, gap}, {-3, gap}, {-2, gap}, {-1.0136, 28.3473}}},
          {"peak lift-rotor power", {{-9, gap}, {-8, gap}, {-3, 2900.76}, {-2, 2900.76}, {-1.0136, 2900.76}}}}},
        {"two keys", "cp $grid s.csv", "Sweep of mass and propeller_thrust[1]: 4 designs (2 x 2), 2 invalid",
         {{"located transition time", {{30, -1.0136, 25, 35, -4.5068, 2.4796, 28.056},
                                       {30, -8, 25, 35, -11.4932, -4.5068, gap},
                                       {20, -1.0136, 15, 25, -4.5068, 2.4796, 12.4517},
                                       {20, -8, 15, 25, -11.4932, -4.5068, gap}}},
          {"lift-rotor energy by then", {{30, -1.0136, 25, 35, -4.5068, 2.4796, 50.6167},
                                         {30, -8, 25, 35, -11.4932, -4.5068, gap},
                                         {20, -1.0136, 15, 25, -4.5068, 2.4796, 14.5245},
                                         {20, -8, 15, 25, -11.4932, -4.5068, gap}}}}},
    };
    for (const auto& c : cases) {
        const Curves curves = plotted(c.make + " && $plot_study s.csv t.svg");
        EXPECT_EQ(curves.size(), 4u) << c.what;
        for (const auto& [title, points] : c.points) {
            const auto curve = curves.find(title);
            ASSERT_TRUE(curve != curves.end()) << c.what << ": no curve " << title;
            ASSERT_EQ(curve->second.size(), points.size()) << c.what << ": " << title;
            for (std::size_t i = 0; i < points.size(); ++i) {
                ASSERT_EQ(curve->second[i].size(), points[i].size()) << c.what << ": " << title << ", point " << i;
                for (std::size_t j = 0; j < points[i].size(); ++j) {
                    const double found = curve->second[i][j], expected = points[i][j];
                    EXPECT_TRUE(std::isnan(expected) ? std::isnan(found) : std::fabs(found - expected) <= 1e-5 * std::fabs(expected))
                        << c.what << ": " << title << ", point " << i << ", number " << j << ": " << found;
                }
            }
        }
        EXPECT_EQ(shell(base + "/run", c.make + " && $plot_study s.csv t.svg && grep -qF '<text>" + c.title + "</text>' t.svg && " +
                                           white_page("t.svg")), 0)
            << c.what;
    }
}

// A sweep of which no design has a value still draws, every panel saying so, under its title.
TEST_F(TraceTools, DrawsASweepWithoutAnyValueNeedsGnuplot) {
    if (!has_gnuplot()) GTEST_SKIP() << "gnuplot not installed (apt-get install gnuplot-nox)";
    expect_runs({{"every design invalid", "$study --jobs 1 --sweep 'propeller_thrust[1]=-8,-9' >s.csv && $plot_study s.csv t.svg",
                  0, "", "grep -qF '<text>Sweep of propeller_thrust[1]: 2 designs, 2 invalid</text>' t.svg && "
                         "test $(grep -cF '<text>no design has a value</text>' t.svg) = 4"}});
}

}  // namespace
