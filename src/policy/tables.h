// The fixed tables of the safety policy. Every entry is lower case and in normalisation form C,
// the form that text is folded into before it is compared with them.
#pragma once

#include <array>
#include <string_view>

namespace qcu {

using namespace std::string_view_literals;

// Bundle identifiers refused as whole strings: terminals, development tools, file and system
// management, system user interface, browsers, remote-desktop and virtualisation tools.
inline constexpr std::array BLOCKED_BUNDLES = {
    "com.apple.terminal"sv,
    "com.googlecode.iterm2"sv,
    "dev.warp.warp-stable"sv,
    "net.kovidgoyal.kitty"sv,
    "com.github.wez.wezterm"sv,
    "org.alacritty"sv,
    "co.zeit.hyper"sv,
    "com.mitchellh.ghostty"sv,
    "io.alacritty"sv,
    "com.apple.dt.xcode"sv,
    "com.apple.finder"sv,
    "com.apple.systempreferences"sv,
    "com.apple.securityagent"sv,
    "com.apple.loginwindow"sv,
    "com.apple.keychainaccess"sv,
    "com.apple.screensharing"sv,
    "com.apple.dock"sv,
    "com.apple.controlcenter"sv,
    "com.apple.notificationcenterui"sv,
    "com.apple.spotlight"sv,
    "com.apple.usernotificationcenter"sv,
    "com.apple.systemuiserver"sv,
    "com.apple.passwords"sv,
    "com.apple.activitymonitor"sv,
    "com.apple.scripteditor2"sv,
    "com.apple.automator"sv,
    "com.apple.safari"sv,
    "com.apple.safaritechnologypreview"sv,
    "org.mozilla.firefox"sv,
    "com.microsoft.edgemac"sv,
    "com.brave.browser"sv,
    "com.operasoftware.opera"sv,
    "org.chromium.chromium"sv,
    "company.thebrowser.browser"sv,
    "com.vivaldi.vivaldi"sv,
    "ru.yandex.desktop.yandex-browser"sv,
    "com.duckduckgo.macos.browser"sv,
    "org.waterfoxproject.waterfox"sv,
    "app.zen-browser.zen"sv,
    "org.mozilla.librewolf"sv,
    "com.todesktop.230313mzl4w4u92"sv,
    "com.exafunction.windsurf"sv,
    "com.anydesk.anydeskmac"sv,
    "com.teamviewer.teamviewer"sv,
    "com.microsoft.rdc.macos"sv,
    "com.parallels.desktop.console"sv,
    "com.vmware.fusion"sv,
    "org.virtualbox.app.virtualboxvm"sv,
    "com.mremoteng"sv,
    "com.apple.remotedesktop"sv,
    "com.panic.transmit5"sv,
    "com.panic.prompt3"sv,
    "com.termius-dmg.mac"sv,
    "com.googlecode.iterm2.beta"sv,
};
static_assert(BLOCKED_BUNDLES.size() == 54);

// Bundle identifier prefixes, tried in this order; a plain string prefix with no separator rule.
inline constexpr std::array BLOCKED_BUNDLE_PREFIXES = {
    "com.google.chrome"sv,     "com.microsoft.vscode"sv,
    "com.jetbrains."sv,        "com.sublimetext."sv,
    "com.1password"sv,         "com.agilebits."sv,
    "com.bitwarden"sv,         "com.lastpass"sv,
    "org.keepassxc"sv,         "com.dashlane"sv,
    "com.todesktop."sv,        "com.cursor."sv,
    "com.apple.dt."sv,         "com.teamviewer."sv,
    "com.anydesk."sv,          "com.apple.systempreferences"sv,
    "com.apple.preferences"sv,
};
static_assert(BLOCKED_BUNDLE_PREFIXES.size() == 17);

// Executable and display names refused as whole strings.
inline constexpr std::array BLOCKED_NAMES = {
    "terminal"sv,
    "iterm2"sv,
    "iterm"sv,
    "warp"sv,
    "kitty"sv,
    "wezterm-gui"sv,
    "alacritty"sv,
    "hyper"sv,
    "ghostty"sv,
    "tabby"sv,
    "xcode"sv,
    "code"sv,
    "code - insiders"sv,
    "cursor"sv,
    "windsurf"sv,
    "finder"sv,
    "system settings"sv,
    "system preferences"sv,
    "securityagent"sv,
    "loginwindow"sv,
    "keychain access"sv,
    "safari"sv,
    "firefox"sv,
    "google chrome"sv,
    "microsoft edge"sv,
    "brave browser"sv,
    "opera"sv,
    "chromium"sv,
    "arc"sv,
    "vivaldi"sv,
    "yandex"sv,
    "duckduckgo"sv,
    "zen"sv,
    "librewolf"sv,
    "waterfox"sv,
    "screen sharing"sv,
    "activity monitor"sv,
    "automator"sv,
    "script editor"sv,
    "anydesk"sv,
    "teamviewer"sv,
    "microsoft remote desktop"sv,
};
static_assert(BLOCKED_NAMES.size() == 42);

// Words that refuse an application when they occur anywhere in its display name.
inline constexpr std::array BROWSER_WORDS = {"browser"sv, "браузер"sv};

// Places where keys, tokens and secrets are entered; refused in titles and in control text.
inline constexpr std::array CREDENTIAL_MARKERS = {
    "api key"sv,       "api-key"sv,     "apikey"sv,         "access token"sv, "client secret"sv,
    "secret key"sv,    "private key"sv, "authorization"sv,  "api ключ"sv,     "ключ api"sv,
    "токен доступа"sv, "секрет"sv,      "приватный ключ"sv,
};
static_assert(CREDENTIAL_MARKERS.size() == 13);

// Window titles naming a verification, sign-in or developer surface.
inline constexpr std::array TITLE_MARKERS = {
    "captcha"sv,
    "two-factor"sv,
    "two factor"sv,
    "verify you are human"sv,
    "human verification"sv,
    "security check"sv,
    "challenge"sv,
    "turnstile"sv,
    "just a moment"sv,
    "подтвердите, что вы человек"sv,
    "проверка безопасности"sv,
    "i'm not a robot"sv,
    "i am not a robot"sv,
    "not a robot"sv,
    "are you a robot"sv,
    "я не робот"sv,
    "i am human"sv,
    "i'm human"sv,
    "я человек"sv,
    "otp code"sv,
    "totp"sv,
    "mfa"sv,
    "one-time password"sv,
    "one time password"sv,
    "verification pin"sv,
    "6-digit code"sv,
    "6 digit code"sv,
    "two-step verification"sv,
    "two step verification"sv,
    "authenticator code"sv,
    "код аутентификатора"sv,
    "двухэтап"sv,
    "код из приложения"sv,
    "verification code"sv,
    "sign in"sv,
    "sign-in"sv,
    "log in"sv,
    "login"sv,
    "authentication"sv,
    "капча"sv,
    "код подтверждения"sv,
    "авторизац"sv,
    "вход в"sv,
    "войти"sv,
    "touch id"sv,
    "face id"sv,
    "keychain"sv,
    "terminal"sv,
    "devtools"sv,
    "developer tools"sv,
    "visual studio code"sv,
    "jetbrains"sv,
    "intellij"sv,
};
static_assert(TITLE_MARKERS.size() == 53);

// Control text naming a sign-in, verification or credential prompt.
inline constexpr std::array CONTROL_MARKERS = {
    "captcha"sv,
    "recaptcha"sv,
    "hcaptcha"sv,
    "two-factor"sv,
    "two factor"sv,
    "2fa"sv,
    "verify you are human"sv,
    "human verification"sv,
    "security check"sv,
    "challenge"sv,
    "turnstile"sv,
    "just a moment"sv,
    "подтвердите, что вы человек"sv,
    "проверка безопасности"sv,
    "i'm not a robot"sv,
    "i am not a robot"sv,
    "not a robot"sv,
    "are you a robot"sv,
    "я не робот"sv,
    "i am human"sv,
    "i'm human"sv,
    "я человек"sv,
    "otp code"sv,
    "totp"sv,
    "mfa"sv,
    "two-step verification"sv,
    "two step verification"sv,
    "one-time password"sv,
    "one time password"sv,
    "verification pin"sv,
    "6-digit code"sv,
    "6 digit code"sv,
    "authenticator code"sv,
    "код аутентификатора"sv,
    "двухэтап"sv,
    "код из приложения"sv,
    "one-time code"sv,
    "one time code"sv,
    "verification code"sv,
    "security code"sv,
    "passcode"sv,
    "password"sv,
    "sign in"sv,
    "sign-in"sv,
    "signin"sv,
    "log in"sv,
    "login"sv,
    "username"sv,
    "user name"sv,
    "authentication"sv,
    "капча"sv,
    "пароль"sv,
    "код подтверждения"sv,
    "одноразовый код"sv,
    "двухфактор"sv,
    "авторизац"sv,
    "имя пользователя"sv,
    "логин"sv,
    "войти"sv,
    "вход в"sv,
};
static_assert(CONTROL_MARKERS.size() == 60);

// Tokens refused only when they stand alone: no letter, mark or digit right before or after.
inline constexpr std::array STANDALONE_TOKENS = {"otp"sv, "пин"sv};

// Roles whose elements take typed text.
inline constexpr std::array TEXT_INPUT_ROLES = {
    "AXTextField"sv, "AXTextArea"sv, "AXComboBox"sv, "AXSearchField"sv, "AXSecureTextField"sv,
};

// Attributes whose texts describe a control, read in this order.
inline constexpr std::array MARKER_ATTRIBUTES = {
    "AXTitle"sv, "AXDescription"sv, "AXPlaceholderValue"sv, "AXIdentifier"sv, "AXHelp"sv,
};

}  // namespace qcu
