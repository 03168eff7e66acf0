// SPDX-License-Identifier: MIT
#include "command_gen.h"

#include <cctype>
#include <cstdio>

#include "sim/devices/image_version.h"
#include "tests/support/sha256_hex.h"

namespace campaign {

namespace {

struct Family {
    const char* key;
    int chip_id;  // 0: the QB4083C image, meant for every family
};
const std::vector<Family> kFamilies = {{"4073", 73}, {"4076", 76}, {"4077", 77}, {"4080", 80},
                                       {"4082", 82}, {"4084", 84}, {"4083", 0}};

std::string hex_digit(Random& r) { return std::string(1, "0123456789abcdefABCDEF"[r.below(22)]); }

// What the command line asks for: a report, an upgrade, nothing, the help
// screen, arguments the parser refuses, or options that conflict.
enum class Command { Report, Upgrade, None, Help, Refused, Conflict };
// The image's family: one a controller of the machine has, another, the
// QB4083C image meant for every family, or any.
enum class ImageFamily { Present, Wrong, Qb4083c, Any };
// The image's size class: empty, too short to hold a version, the usual
// sizes, the limits of the families and downloads, the largest, too large.
enum class ImageSize { Empty, NoVersion, Small, Medium, AtLimits, Full, TooLarge };
// What stands at the image's name.
enum class ImageFile { Present, Missing, Directory };
// How the command line is refused: an unknown option, an image name without
// its key or ".bin", an option without its value, an image name too long, a
// bare image name after the first argument.
enum class Refusal { BadOption, BadImageName, MissingValue, LongImageName, LateImageName };

class CommandBuilder {
public:
    CommandBuilder(Random& random, const MachinePlan& machine, const Version& image_version)
        : r_(random), machine_(machine), image_version_(image_version)
    {
    }

    CommandPlan build()
    {
        Command command = r_.choose<Command>({{32, Command::Report},
                                              {48, Command::Upgrade},
                                              {4, Command::None},
                                              {4, Command::Help},
                                              {8, Command::Refused},
                                              {4, Command::Conflict}});
        switch (command) {
        case Command::Report:
            report();
            break;
        case Command::Upgrade:
            upgrade();
            break;
        case Command::None:
            return plan_;  // no arguments at all
        case Command::Help:
            option(100, r_.pick({"-h", "-?", "/?", "/h", "--help", "--help-all"}));
            report_options(30);
            shuffle();
            break;
        case Command::Refused:
            refused();
            break;
        case Command::Conflict:
            plan_.args = r_.pick(std::vector<std::vector<std::string>>{{"-q", "-c"}, {"-d", "-q"}, {"-ms", "-i"}});
        }
        outcome_options(command == Command::Upgrade);
        return plan_;
    }

private:
    void option(unsigned percent, const std::string& text)
    {
        if (r_.percent(percent))
            plan_.args.push_back(text);
    }

    void report_options(unsigned scale)
    {
        auto p = [&](unsigned percent) { return percent * scale / 100; };
        option(p(35), "-i");
        option(p(25), "-b" + hex_digit(r_) + hex_digit(r_));
        option(p(12), "-sc" + hex_digit(r_) + hex_digit(r_));
        std::string mux_address = "-ma" + r_.pick(std::vector<std::string>{"e6", "E6", "e4", "a0", "c0"});
        option(p(15), mux_address);
        option(p(10), "-mc" + std::to_string(r_.between(0, 9)) + std::to_string(r_.between(1, 9)));
        if (r_.percent(p(8))) {
            plan_.args.push_back("-ms");
            option(70, mux_address);  // without it: the option conflict
        }
        option(p(20), r_.pick(std::vector<std::string>{"-vpd", "-vpda0", "-vpdA2", "-vpda010", "-vpda0ff", "-vpda2zz",
                                                       "-vpda000"}));
        option(p(10), "-vl");
        option(p(20), "-d");
        option(p(12), "-z");
        option(p(10), "-a");
        option(p(8), "-cd" + std::to_string(r_.between(1, 5)));
        option(p(3), r_.pick({"-cd", "-cd0", "-cdx"}));
        option(p(12), r_.pick({"-c2", "-c3", "-c3x"}));
        option(p(6), "-q");
        option(machine_.kcs_road ? 80 : p(15), "-dio");
        option(p(5), "-u");
    }

    // --strict, --plan and --report FILE, matched as whole arguments:
    // anywhere but between an option and the argument it takes, or before a
    // bare image name. A plan of a report run has no image to plan with.
    void outcome_options(bool upgrade)
    {
        std::vector<std::vector<std::string>> added;
        if (r_.percent(upgrade ? 35 : 10))
            added.push_back({"--strict"});
        if (r_.percent(upgrade ? 15 : 2))
            added.push_back({"--plan"});
        // A read-only upgrade is refused; a read-only plan is a plan.
        if (r_.percent(upgrade ? 6 : 15))
            added.push_back({"--read-only"});
        if (r_.percent(40)) {
            // Also names the report must never take the place of: the log,
            // the image, a directory.
            std::string file = r_.pick(std::vector<std::string>{"report.json", "report.json", "report.json",
                                                                "out/run.json", "r-q.json", "missing/run.json"});
            if (r_.percent(8))
                file = r_.pick(std::vector<std::string>{"log.txt", "out", plan_.image.value_or("logprev.txt")});
            if (file.starts_with("out"))
                plan_.directories.push_back("out");
            added.push_back({"--report", file});
        }
        // --image-sha256 with the image's digest, in either case, or with
        // another file's: the run then ends at the image with 1.
        auto image = plan_.image ? plan_.files.find(*plan_.image) : plan_.files.end();
        if (image != plan_.files.end() && r_.percent(upgrade ? 20 : 5)) {
            std::string bytes = image->second;
            if (r_.percent(30))
                bytes.push_back('\n');
            std::string hex = qbtest::sha256_hex(bytes);
            if (r_.percent(30))
                for (char& c : hex)
                    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            added.push_back({"--image-sha256", hex});
        }
        // Options with a value also as one argument, --NAME=VALUE.
        for (std::vector<std::string>& option : added)
            if (option.size() == 2 && r_.percent(25))
                option = {option[0] + "=" + option[1]};
        // Now and then a -- word the tool must refuse before any request: a
        // name no option has, or a value for an option that takes none.
        if (r_.percent(2))
            added.push_back({r_.pick(std::vector<std::string>{"--reprot=r.json", "--image-sha", "--strict=1",
                                                              "--read-only=yes", "--plan=", "--Strict", "--lan-"})});
        for (const std::vector<std::string>& option : added) {
            size_t first = plan_.image && !plan_.args.empty() && plan_.args[0] == *plan_.image ? 1 : 0;
            std::vector<size_t> places;
            for (size_t at = first; at <= plan_.args.size(); ++at)
                if (at == 0 || (plan_.args[at - 1] != "-f" && plan_.args[at - 1] != "--report" &&
                                plan_.args[at - 1] != "--image-sha256"))
                    places.push_back(at);
            plan_.args.insert(plan_.args.begin() + static_cast<long>(r_.pick(places)), option.begin(), option.end());
        }
    }

    void report()
    {
        report_options(100);
        shuffle();
    }

    void upgrade()
    {
        option(60, "-u");
        option(12, "-q");
        option(12, r_.pick({"-c2", "-c3"}));
        option(10, "-d");
        option(6, "-vl");
        option(8, "-a");
        option(machine_.kcs_road ? 80 : 10, "-dio");
        option(50, "-i");
        option(15, "-b" + hex_digit(r_) + hex_digit(r_));
        report_options(25);
        shuffle();

        std::string name = image_file();
        if (r_.percent(25)) {
            plan_.args.insert(plan_.args.begin(), name);  // a bare first argument
        } else {
            auto at = plan_.args.begin() + static_cast<long>(r_.below(plan_.args.size() + 1));
            plan_.args.insert(plan_.args.insert(at, "-f") + 1, name);
        }
    }

    const Family& image_family()
    {
        std::vector<const Family*> present;
        for (const ControllerModel& c : machine_.controllers)
            for (const Family& f : kFamilies)
                if (f.chip_id == c.chip_id)
                    present.push_back(&f);
        ImageFamily choice = r_.choose<ImageFamily>(
            {{70, ImageFamily::Present}, {12, ImageFamily::Wrong}, {10, ImageFamily::Qb4083c}, {8, ImageFamily::Any}});
        if (choice == ImageFamily::Present && !present.empty())
            return *r_.pick(present);
        if (choice == ImageFamily::Wrong && !present.empty()) {
            const Family& wrong = r_.pick(kFamilies);
            if (wrong.chip_id != present[0]->chip_id)
                return wrong;
        }
        if (choice == ImageFamily::Qb4083c)
            return kFamilies.back();
        return r_.pick(kFamilies);
    }

    size_t image_size(const Family& family)
    {
        bool small_chip = family.chip_id == 73 || family.chip_id == 76;
        switch (r_.choose<ImageSize>({{4, ImageSize::Empty},
                                      {6, ImageSize::NoVersion},
                                      {40, ImageSize::Small},
                                      {18, ImageSize::Medium},
                                      {14, ImageSize::AtLimits},
                                      {12, ImageSize::Full},
                                      {6, ImageSize::TooLarge}})) {
        case ImageSize::Empty:
            return 0;
        case ImageSize::NoVersion:
            return static_cast<size_t>(r_.between(1, 53));
        case ImageSize::Small:
            return static_cast<size_t>(r_.between(54, 1024));
        case ImageSize::Medium:
            return static_cast<size_t>(r_.between(1025, 4096));
        case ImageSize::AtLimits:  // the family limit and the download limits, either side
            return small_chip ? r_.pick<size_t>({7679, 7680})
                              : r_.pick<size_t>({0x1000, 0x1001, 0x3DFF, 0x3E00, 0x3E01, 0x7A00});
        case ImageSize::Full:
            return 20480;
        case ImageSize::TooLarge:
            return static_cast<size_t>(r_.between(20481, 30000));
        }
        return 0;
    }

    // Creates the image (unless it is to be missing) and returns its name.
    std::string image_file()
    {
        const Family& family = image_family();
        std::string key = family.key;
        // Also directories that hold a family key: another family's
        // (rel-4073/fw_4077.bin, a date such as 2024073/).
        const std::string other = kFamilies[static_cast<size_t>(&family - kFamilies.data() + 1) % kFamilies.size()].key;
        // Names whose own part holds no key, or whose directory holds
        // another's, end --strict and --plan at the command line: drawn
        // seldom enough that most of those runs still reach the controllers.
        std::string name = r_.choose<std::string>({{22, "fw_" + key + ".bin"},
                                                   {18, "QB" + key + "_rev2.bin"},
                                                   {18, "backplane_" + key + ".bin.old"},
                                                   {18, key + ".bin"},
                                                   {8, "img/" + key + "/fw.bin"},
                                                   {8, "rel-" + other + "/fw_" + key + ".bin"},
                                                   {8, "202" + other + "/fw_" + key + ".bin"}});
        if (size_t slash = name.rfind('/'); slash != std::string::npos)
            plan_.directories.push_back(name.substr(0, slash));
        std::string bytes = r_.bytes(image_size(family));
        for (size_t i = 0; i < image_version_.size() && sim::kImageVersionOffset + i < bytes.size(); ++i)
            bytes[sim::kImageVersionOffset + i] = static_cast<char>(image_version_[i]);
        switch (r_.choose<ImageFile>({{92, ImageFile::Present}, {5, ImageFile::Missing}, {3, ImageFile::Directory}})) {
        case ImageFile::Present:
            plan_.files[name] = bytes;
            break;
        case ImageFile::Missing:
            break;
        case ImageFile::Directory:  // a directory of that name
            plan_.directories.push_back(name);
        }
        plan_.image = name;
        return name;
    }

    // Arguments the parser or the image name check refuses.
    void refused()
    {
        report_options(20);
        shuffle();
        std::vector<std::string> bad = {"-s20", "-x", "-b1", "-b123", "-mc20", "-mcA2", "-mae", "-vpda", "-vpda21"};
        switch (r_.choose<Refusal>({{1, Refusal::BadOption},
                                    {1, Refusal::BadImageName},
                                    {1, Refusal::MissingValue},
                                    {1, Refusal::LongImageName},
                                    {1, Refusal::LateImageName}})) {
        case Refusal::BadOption:
            plan_.args.insert(plan_.args.begin() + static_cast<long>(r_.below(plan_.args.size() + 1)), r_.pick(bad));
            break;
        case Refusal::BadImageName:
            plan_.args.insert(plan_.args.begin(), r_.pick(std::vector<std::string>{"notes.txt", "qb4077.BIN"}));
            break;
        case Refusal::MissingValue:
            plan_.args.push_back(r_.pick({"-f", "--report"}));  // without the name it takes
            break;
        case Refusal::LongImageName:
            plan_.args.push_back("-f");
            plan_.args.push_back(std::string(251, 'x'));  // with the family key: longer than 254 characters
            plan_.args.back() += "4077.bin";
            break;
        case Refusal::LateImageName:
            plan_.args.push_back("-i");
            plan_.args.push_back("fw_4077.bin");  // a bare name after the first argument
        }
    }

    void shuffle()
    {
        for (size_t i = plan_.args.size(); i > 1; --i)
            std::swap(plan_.args[i - 1], plan_.args[r_.below(i)]);
    }

    Random& r_;
    const MachinePlan& machine_;
    Version image_version_;
    CommandPlan plan_;
};

}  // namespace

CommandPlan generate_command(Random& random, const MachinePlan& machine, const Version& image_version)
{
    return CommandBuilder(random, machine, image_version).build();
}

}  // namespace campaign
