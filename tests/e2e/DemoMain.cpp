// corvastel-demo: the whole path on a machine with no display and no radio, as a script.
//
// Starts a virtual X server, a private system bus, four virtual dongles with their preview window and
// the program wired to them (two on US targets, one on a German and one on a French target), then
// does what a newcomer would: scan, connect every dongle, pick the German and the French dongle's
// keyboard layout from their context menus, switch pass-through on, type a sentence, Caps Lock on the
// targets (their lights come on in the program), move the pointer, leave by Ctrl+Shift+F12, then have
// the program type a line into every target (Ctrl+Shift+V). Pass-through sends key positions, so the
// German and French targets make their own layout's characters of the sentence; the line the program
// types arrives as written on all four. Prints what each virtual target received and saves
// screenshots of the program and of the preview. At
// last a dongle drops (the notice says it is being brought back).
//
//   corvastel-demo [--out DIR] [--docs] [--text SENTENCE]
//   --docs  saves only the pictures the README shows, under the README's names (scripts/demo docs)

#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "E2eWorld.h"
#include "KeyCodes.h"

namespace {

using namespace e2e;
using namespace std::chrono_literals;

void Step(const char* text) {
    std::printf("demo: %s\n", text);
    std::fflush(stdout);
}

int Fail(TE2eWorld* world, const std::string& why) {
    std::fprintf(stderr, "demo: FAILED: %s\n", why.c_str());
    if (world != nullptr)
        std::fprintf(stderr, "%s\n", world->Logs().c_str());
    return 1;
}

// Where pictures go, and under which name: the demo's own names, or the README's.
struct TShots {
    std::string out;
    bool docs = false;
};
TShots Shots;

bool Shot(TE2eWorld& world, unsigned long window, const std::string& path);

// A picture under the demo's name, or under the README's when it shows this one (none: skipped).
bool ShotAs(TE2eWorld& world, unsigned long window, const std::string& demoName, const char* docsName) {
    if (Shots.docs) {
        return docsName == nullptr || Shot(world, window, Shots.out + "/" + docsName);
    }
    return Shot(world, window, Shots.out + "/" + demoName);
}

// Targets on other layouts than US: the program types for their layout once told it.
const TDongleTraits& GermanDongle() {
    static const TDongleTraits traits{QStringLiteral("C0:FF:EE:00:00:0D"),
                                      "name=Corvastel-DE,address=C0:FF:EE:00:00:0D,layout=de", true,
                                      QStringLiteral("F801")};
    return traits;
}
const TDongleTraits& FrenchDongle() {
    static const TDongleTraits traits{QStringLiteral("C0:FF:EE:00:00:0E"),
                                      "name=Corvastel-FR,address=C0:FF:EE:00:00:0E,layout=fr", true,
                                      QStringLiteral("F801")};
    return traits;
}

// Picks a dongle's target layout as a user would from the keyboard: the dongle in the list, the
// Menu key for its context menu, L for "Keyboard layout…", the layout's description typed into the
// list of layouts, Enter.
bool ChooseLayout(TE2eWorld& world, const TDongleTraits& dongle, const std::string& description,
                  std::string* error) {
    constexpr unsigned MenuKey = 135;
    constexpr unsigned L = 46;
    const int index = world.ListIndexOf(dongle.address);
    if (index < 0) {
        *error = "the dongle " + dongle.address.toStdString() + " is not in the list";
        return false;
    }
    world.SelectListItem(index);
    std::this_thread::sleep_for(200ms);
    world.X().Tap(MenuKey);
    std::this_thread::sleep_for(300ms);
    world.X().Tap(L);
    // The title names the dongle as the list does.
    const std::string title = "Keyboard layout of ";
    const unsigned long dialog = world.X().WaitForWindow(title, 5s, true);
    if (dialog == 0) {
        *error = "the context menu's Keyboard layout entry opened no dialog";
        return false;
    }
    world.X().Focus(dialog);
    std::this_thread::sleep_for(200ms);
    // Typing a name searches on from the layout shown (a dongle's earlier choice): start at the top.
    world.X().Tap(keycode::Home);
    world.X().Type(description);
    std::this_thread::sleep_for(200ms);
    world.X().Tap(keycode::Return);
    if (!TE2eWorld::WaitUntil([&] { return world.X().FindWindow(title, true) == 0; }, 5s)) {
        *error = "Enter did not close the keyboard layout dialog";
        return false;
    }
    return true;
}

bool Shot(TE2eWorld& world, unsigned long window, const std::string& path) {
    std::this_thread::sleep_for(400ms);  // the last change painted (the preview refreshes every 100 ms)
    std::size_t colours = 0;
    std::string error;
    if (!world.SaveScreenshot(window, path, &colours, &error)) {
        std::fprintf(stderr, "demo: screenshot %s: %s\n", path.c_str(), error.c_str());
        return false;
    }
    std::printf("demo: saved %s (%zu colours)%s\n", path.c_str(), colours,
                colours > 30 ? "" : " - looks blank!");
    return colours > 30;
}

}  // namespace

int main(int argc, char** argv) {
    std::string out = "artifacts/demo";
    std::string sentence = "Hello from Corvastel, typed on the other computer!";
    // Typed under the targets' Caps Lock: it arrives in capitals.
    const std::string underCaps = " caps lock";
    // Letters that move between layouts (Y and Z, A and Q, M): the program types them right on each.
    const std::string pasted = "\nYes, typed right on every layout - azerty, qwertz and qwerty!";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--out" && i + 1 < argc)
            out = argv[++i];
        else if (a == "--text" && i + 1 < argc)
            sentence = argv[++i];
        else if (a == "--docs")
            Shots.docs = true;
        else {
            std::printf("usage: corvastel-demo [--out DIR] [--docs] [--text SENTENCE]\n");
            return a == "--help" || a == "-h" ? 0 : 2;
        }
    }
    for (char c : sentence) {
        if (!KeyStrokeFor(c))
            return Fail(nullptr, std::string("the demo cannot type '") + c + "'");
    }

    Step("starting a virtual X server, a private system bus, four virtual dongles and the program");
    TWorldOptions options;
    options.preview = true;
    // From a folder of its own: the demo switches with Scroll Lock and picks layouts, whatever the
    // built program's own settings say, and leaves them as they were.
    options.settingsIni = "";
    options.screenWidth = 1440;
    options.dongles = {NewerDongle(), OlderDongle(), GermanDongle(), FrenchDongle()};
    options.screenHeight = 840;
    std::string error;
    auto world = TE2eWorld::Start({CORVASTEL_PC_PATH, CORVASTEL_VIRTUAL_DONGLES_PATH}, options, &error);
    if (!world)
        return Fail(nullptr, error);
    // Side by side, as on a desk: the program on the left, the dongles' preview to its right.
    world->MoveAppWindow(8, 8);
    world->X().MoveWindow(world->PreviewWindow(), 8 + place::WindowWidth + 16, 8);

    Shots.out = out;
    // What a newcomer sees first: an empty list and where to start.
    ShotAs(*world, world->AppWindow(), "app-start.png", "screenshot-main.png");

    std::string why;
    auto other = TSpyClient::Open(world->Display(), {8, 8 + place::WindowHeight + 40, 300, 200}, &why);
    if (!other)
        return Fail(world.get(), why);

    Step("Alt+S: scan for dongles");
    if (!world->Scan(&error))
        return Fail(world.get(), error);
    Step("Alt+C: connect the first dongle; select the next in the list; Alt+C again, for all four");
    if (!world->ConnectAll(&error))
        return Fail(world.get(), error);
    ShotAs(*world, world->AppWindow(), "app-connected.png", nullptr);
    Step("Menu key on Corvastel-DE, Keyboard layout: German; on Corvastel-FR: French");
    if (!ChooseLayout(*world, GermanDongle(), "German", &error) ||
        !ChooseLayout(*world, FrenchDongle(), "French", &error))
        return Fail(world.get(), error);

    Step("Alt+M, Alt+T: pass-through with the mouse");
    if (!world->PassThroughOn(true, *other, &error))
        return Fail(world.get(), error);
    std::this_thread::sleep_for(300ms);
    std::printf("demo: typing \"%s\"\n", sentence.c_str());
    world->X().Type(sentence);
    Step("Caps Lock: each target turns its Caps Lock on; the program shows the lights on each dongle");
    world->X().Tap(keycode::CapsLock);
    world->X().Type(underCaps);
    TE2eWorld::WaitUntil(
        [&] {
            for (const TDongleTraits* d :
                 {&NewerDongle(), &OlderDongle(), &GermanDongle(), &FrenchDongle()}) {
                if (world->Control().Target(d->address).value(QStringLiteral("ledStatus")).toInt() != 0x02)
                    return false;
            }
            return true;
        },
        5s);
    ShotAs(*world, world->AppWindow(), "app-caps-lock.png", nullptr);
    world->X().Tap(keycode::CapsLock);
    Step("moving the pointer right and down, then clicking");
    for (int i = 0; i < 20; ++i)
        world->X().MoveBy(6, 3);
    world->X().Button(1, true);
    world->X().Button(1, false);
    // Input to the second dongle only (Scroll Lock twice, then its number): the list frames it and
    // the notice names it. A key held for the key display.
    const auto digitKey = [](char digit) { return KeyStrokeFor(digit)->keycode; };
    Step("Scroll Lock, Scroll Lock, 2: input to the second dongle only");
    world->X().Tap(keycode::ScrollLock);
    world->X().Tap(keycode::ScrollLock);
    world->X().Tap(digitKey('2'));
    world->X().Key(keycode::LeftShift, true);
    ShotAs(*world, world->AppWindow(), "app-pass-through.png", "demo-app.png");
    world->X().Key(keycode::LeftShift, false);
    Step("Scroll Lock, Scroll Lock, 0: input to every dongle again");
    world->X().Tap(keycode::ScrollLock);
    world->X().Tap(keycode::ScrollLock);
    world->X().Tap(digitKey('0'));

    Step("Ctrl+Shift+F12: leave pass-through");
    if (!world->ExitChord(*other, &error))
        return Fail(world.get(), error);

    std::printf("demo: Ctrl+Shift+V: the program types \"%s\" into every target\n", pasted.c_str() + 1);
    if (!world->TypeTextIntoDongles(pasted, &error))
        return Fail(world.get(), error);
    std::string caps = underCaps;
    for (char& c : caps)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string expected = sentence + caps + pasted;

    // The US targets received the sentence as typed; the German and French ones made their own
    // layout's characters of its key positions, and got the program's line as written.
    const auto arrived = [&](const TDongleTraits& d) {
        const std::string text =
            world->Control().Target(d.address).value(QStringLiteral("text")).toString().toStdString();
        const bool us = &d == &NewerDongle() || &d == &OlderDongle();
        return us ? text == expected
                  : text.size() >= pasted.size() &&
                        text.compare(text.size() - pasted.size(), pasted.size(), pasted) == 0;
    };
    const std::vector<const TDongleTraits*> all{&NewerDongle(), &OlderDongle(), &GermanDongle(),
                                                &FrenchDongle()};
    TE2eWorld::WaitUntil(
        [&] {
            return std::all_of(all.begin(), all.end(), [&](const TDongleTraits* d) { return arrived(*d); });
        },
        20s);
    bool ok = true;
    std::printf("\n");
    for (const TDongleTraits* d : all) {
        const QJsonObject t = world->Control().Target(d->address);
        const std::string text = t.value(QStringLiteral("text")).toString().toStdString();
        std::printf("virtual target of %s (%s framing, %s layout):\n", d->address.toUtf8().constData(),
                    d->reportId ? "report-ID" : "plain",
                    t.value(QStringLiteral("layout")).toString().toUtf8().constData());
        std::printf("  typed text:     \"%s\"\n", text.c_str());
        std::printf("  pointer moved:  %lld, %lld   wheel: %lld\n",
                    static_cast<long long>(t.value(QStringLiteral("pointerX")).toInteger()),
                    static_cast<long long>(t.value(QStringLiteral("pointerY")).toInteger()),
                    static_cast<long long>(t.value(QStringLiteral("wheel")).toInteger()));
        std::printf("  reports:        %d keyboard, %d mouse; anything held at the end: %s\n",
                    t.value(QStringLiteral("keyboardReports")).toInt(),
                    t.value(QStringLiteral("mouseReports")).toInt(),
                    t.value(QStringLiteral("anyInputHeld")).toBool() ? "yes" : "no");
        ok = ok && arrived(*d) && !t.value(QStringLiteral("anyInputHeld")).toBool() &&
             t.value(QStringLiteral("pointerX")).toInteger() > 0;
    }
    std::printf("\n");
    ok = ShotAs(*world, world->AppWindow(), "app.png", nullptr) && ok;
    ok = ShotAs(*world, world->PreviewWindow(), "virtual-dongles-preview.png", "demo-preview.png") && ok;
    ok = ShotAs(*world, world->X().Root(), "screen.png", nullptr) && ok;

    // A dongle out of range: the window says so in its notice and brings it back by itself.
    Step("the older dongle drops out of range: the notice says it is being reconnected");
    world->Control().SetAdvertising(OlderDongle().address, false);
    world->Control().DropLink(OlderDongle().address);
    std::this_thread::sleep_for(1500ms);  // the drop reported, the first try under way
    ok = ShotAs(*world, world->AppWindow(), "app-dropped.png", "notice-dropped.png") && ok;
    Step(ok ? "done: every virtual target received the typed line as written (and the sentence by key "
              "position), and the pointer moves"
            : "done, but not everything arrived as it should (see above)");
    return ok ? 0 : 1;
}
