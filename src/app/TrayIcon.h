#pragma once
// The app in the desktop's tray (a status notifier item where the desktop has one, else the X11
// tray): where input goes at a glance while the window is behind others. Its image tells
// pass-through off, on to every dongle, or on to one (with the digit that picks it); its tooltip
// names the route and each numbered dongle with its number and link; its menu shows the window,
// switches pass-through, routes input and quits, as the window's own controls do.
//
// The menu never changes while it is open: a dongle that drops or connects then would shift the
// rows under the pointer, and a click meant for one dongle would land on another's entry or on
// Quit. Changes wait until it closes (the picture and tooltip change at once), and each entry acts
// on what it showed: a route entry names its dongle by address, and the window says so when that
// dongle went meanwhile.
//
// Where the desktop has no tray, nothing is shown and nothing is said: the window has it all. The
// icon goes to the tray once one appears (a panel started after the program).

#include <QIcon>
#include <QObject>
#include <QString>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QActionGroup;
class QMenu;
class QSystemTrayIcon;
class QTimer;

// What the tray shows, taken from the window.
struct TTrayState {
    struct TDongle {
        std::string Address;
        QString Label;      // as the list names it
        QString Link;       // its link latency as its list item shows it
        int Number = 0;     // the digit the route keys pick it by (1 to 9); 0: none
        bool Away = false;  // being brought back
        bool operator==(const TDongle&) const = default;
    };
    bool PassThrough = false;
    std::string RouteTarget;       // empty: every dongle
    QString Route;                 // the route as the window's notice says it ("→ all", "→ Desk 1")
    std::vector<TDongle> Dongles;  // connected or being brought back, by number (unnumbered last)
    // The saved key sequences, in their order: each for one dongle (Dongle, named Where) or for
    // every dongle (Dongle empty). The menu lists the first TrayMaxSequences.
    struct TSequence {
        QString Name;
        std::string Dongle;
        QString Where;
        bool operator==(const TSequence&) const = default;
    };
    std::vector<TSequence> Sequences;
    bool operator==(const TTrayState&) const = default;
};

enum class TTrayImage { Off, ToAll, ToOne };

inline constexpr std::size_t TrayMaxSequences = 8;

class TTrayIcon final : public QObject {
  public:
    // What the menu's entries do; each is called once the menu has closed. RouteTo gets the address
    // its entry showed, whatever happened since.
    struct TActions {
        std::function<void()> ShowWindow;
        std::function<void(bool On)> SetPassThrough;
        std::function<void(const std::string& Address)> RouteTo;  // empty: every dongle
        std::function<void()> Quit;
        // Plays the saved key sequence of this name for this dongle (empty: for every dongle).
        std::function<void(const QString& Name, const std::string& Dongle)> PlaySequence;
    };
    TTrayIcon(const QIcon& AppIcon, TActions Actions, QObject* Parent);
    ~TTrayIcon() override;
    TTrayIcon(const TTrayIcon&) = delete;
    TTrayIcon& operator=(const TTrayIcon&) = delete;

    void Update(const TTrayState& State);
    // Takes the icon out of the tray (the program is ending).
    void Hide();

    TTrayImage Image() const { return FImage; }
    const QIcon& Icon() const { return FShownIcon; }
    const QString& ToolTip() const { return FToolTip; }
    QMenu* Menu() const { return FMenu.get(); }
    // Whether the menu is open (as a window of its own, or shown by the tray's host).
    bool MenuOpen() const;
    // Whether the icon is in the desktop's tray (false where there is none).
    bool InTray() const { return FTray != nullptr; }
    // Whether the desktop has a tray now. Replaceable for tests.
    std::function<bool()> TrayAvailable;

  private:
    void FillMenu();
    // The submenu of saved key sequences, where there are any.
    void FillSequenceMenu();
    // Puts the icon in the tray once there is one.
    void Install();
    QIcon Draw(TTrayImage Image, int Digit) const;
    // Runs an entry's work after the menu is gone: the work rebuilds the menu.
    void Later(std::function<void()> Work);

    QIcon FAppIcon;
    TActions FActions;
    TTrayState FState;
    bool FFilled = false;
    bool FMenuShown = false;  // between the menu's aboutToShow and aboutToHide
    bool FMenuStale = false;  // FState changed what the menu shows while it was open
    TTrayImage FImage = TTrayImage::Off;
    int FDigit = -1;
    QIcon FShownIcon;
    QString FToolTip;
    std::unique_ptr<QMenu> FMenu;
    QActionGroup* FRoutes = nullptr;   // the route entries of the menu as filled last
    QMenu* FSequenceMenu = nullptr;    // the key sequences' submenu as filled last
    QSystemTrayIcon* FTray = nullptr;  // null until the desktop has a tray
    QTimer* FWatch = nullptr;          // looks for a tray until there is one
};
