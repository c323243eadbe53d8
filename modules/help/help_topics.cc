#include "help_topics.h"

#include <strings.h>

#include <cctype>
#include <cstring>
#include <iterator>

namespace {

constexpr HelpPageTopic kPages[] = {
    {"home", "The homepage",
     "What the homepage shows, and where each task of the portal starts.",
     R"(<h2>What you see</h2>
<p>The homepage is the first page after signing in. Its top line names this system, the portal's version and the
account you signed in with, and offers <strong>Sign out</strong>.</p>
<ul>
<li><strong>Navigation tree</strong>: the links that every installed web application and every legacy agent adds
to the portal. An entry that is missing usually means that its application is not running; the
<a href="/help?topic=log">log</a> says why.</li>
<li><strong>Web applications</strong>: each installed management application with a link to its own pages.
Applications that register themselves as hidden are not listed.</li>
<li><strong>Legacy agents</strong>: the pages of older management agents on this machine, reached through the
portal. The portal looks for them on the loopback ports 49400 to 49439.</li>
</ul>
<h2>Administration</h2>
<p>Administrators see links to the <a href="/help?topic=settings">settings</a>, the
<a href="/help?topic=certificates">certificates</a> and the <a href="/help?topic=log">log</a>. Other accounts see
these links only where their level allows it; the portal refuses a change from an account that is not an
administrator, whatever the page shows.</p>
<h2>Signing out</h2>
<p>Sign out when you are done, above all on a shared computer. A session that is not used for the time set in
<a href="/help?topic=setting-session-timeout">Session time-out</a> ends by itself.</p>)"},

    {"settings", "Settings",
     "How the settings page is organised, how a change is saved, and which changes restart the web server.",
     R"(<h2>Groups</h2>
<p>The settings page groups the portal's settings as follows. Each setting has a page of its own in this help,
listed at the end of this page.</p>
<ul>
<li><strong>Sign-in and access levels</strong>: which operating-system groups give which level, and which kinds of
sign-in are accepted.</li>
<li><strong>Anonymous and local access</strong>: access without a password.</li>
<li><strong>IP restrictions and binding</strong>: which client addresses may reach the portal, and on which of this
machine's addresses it listens.</li>
<li><strong>Trust</strong>: which management servers may configure this machine.</li>
<li><strong>Sessions and time-outs</strong>: how long a sign-in lasts, how many may be open, how long the homepage
waits for the applications' navigation.</li>
<li><strong>Protocol options</strong>: settings of the web server and of the legacy agents' ports.</li>
</ul>
<h2>Saving</h2>
<p>Only administrators may change settings. The page checks each value with the same rules as the server before it
sends it; the server checks again and shows its answer on the message page. A refused value leaves the setting as it
was, and the diagnostic <a href="/help?topic=log">log</a> names the value that was refused.</p>
<h2>Changes that restart the web server</h2>
<p>Settings marked <em>restart</em> below are written into the web server's configuration. Saving one of them makes
the service write a new configuration and restart the web server; pages that are open lose their connection for a
few seconds. Everyone signed in stays signed in.</p>
<p>A management server may also change these settings for many machines at once (group configuration); the same
rules apply.</p>)"},

    {"certificates", "Certificates",
     "The trusted certificates of management servers, and the portal's own server certificate.",
     R"(<h2>Trusted certificates</h2>
<p>A management server proves who it is with its certificate. The list shows the certificates this portal trusts,
by the name they were issued to. You can view a certificate, show its text, remove it, or add one by pasting its PEM
text or uploading its file. The portal refuses a file that is not a certificate, one without a common name, and one
that has expired or is not valid yet. Whether a server needs a certificate here depends on the
<a href="/help?topic=setting-trustmode">trust mode</a>.</p>
<h2>The server certificate</h2>
<p>Browsers reach the portal over HTTPS with the server certificate. At installation it is a certificate that the
portal signed itself, so browsers warn about it. To replace it with one from your certificate authority:</p>
<ol>
<li>Create a <strong>signing request</strong>, with your organisation and unit. The portal writes the request for
its existing key; the key never leaves this machine. Download the request and send it to the authority.</li>
<li><strong>Import the reply</strong>: paste or upload the authority's PKCS#7 answer. The portal takes the
certificate that belongs to its key and refuses one that the web server could not use (an old signature algorithm,
a key that is too short, or a certificate for another key).</li>
<li><strong>Restart</strong> the web server, so that it serves the new certificate.</li>
</ol>)"},

    {"log", "The log",
     "The portal's diagnostic log and the legacy agents' log.",
     R"(<h2>Diagnostic log</h2>
<p>The portal writes what it refuses and what fails into its diagnostic log, newest entries first. Each entry has a
severity:</p>
<ul>
<li><strong>Information</strong>: something happened as it should (a sign-in, a restart).</li>
<li><strong>Warning</strong>: something worth a look, that did not stop anything (a group that the operating
system does not know).</li>
<li><strong>Error</strong>: something failed or was refused (a settings value, a damaged file).</li>
<li><strong>Critical</strong>: the portal could not work as configured (an unreadable settings file).</li>
</ul>
<p>Use the filter to see only entries of one severity. The log keeps a fixed amount of text: the oldest entries
make room for new ones.</p>
<h2>Legacy log</h2>
<p>When legacy agents keep a log of their own, the page shows it too.</p>)"},

    {"messages", "Messages",
     "The message page that reports the outcome of a change.",
     R"(<p>After a change (saving settings, adding or removing a certificate, a signing request, an import) the portal
shows the message page. A message is either a <strong>success</strong> or a <strong>problem</strong>; the page
says which, in words and not only by colour.</p>
<ul>
<li>A problem that names a value or a file means that nothing was changed; correct the value and try again.</li>
<li>"Not allowed" means that your account is not an administrator. Sign in with an administrator's account.</li>
<li>Some messages offer a way on: the file of a signing request, or the page of a management server that sent you
here.</li>
</ul>
<p>The diagnostic <a href="/help?topic=log">log</a> holds the details of every refusal.</p>)"},

    {"trust", "Management servers",
     "How a management server comes to be trusted, and what it may do then.",
     R"(<p>A management server can read this portal's settings and change them on many machines at once, and can send
its users here without a second sign-in. The portal decides which servers it trusts by the
<a href="/help?topic=setting-trustmode">trust mode</a>:</p>
<ul>
<li><strong>TrustByCert</strong>: only servers whose certificate is among the
<a href="/help?topic=certificates">trusted certificates</a>.</li>
<li><strong>TrustByName</strong>: the servers named in the
<a href="/help?topic=setting-zqnamelist">management-server name list</a>.</li>
<li><strong>TrustByAll</strong>: any server. Use it only on a network you fully control.</li>
</ul>
<h2>Trusting a server from its sign-in page</h2>
<p>When a management server sends you here for the first time, the portal fetches that server's certificate and
shows it. Check that it is the server you expect, then sign in with an administrator's account: the portal adds the
certificate to the trusted certificates and the message page offers the way back to the management server. An
account that is not an administrator cannot add it.</p>)"},
};

constexpr char kSignIn[] = "Sign-in and access levels";
constexpr char kAnonymous[] = "Anonymous and local access";
constexpr char kAddresses[] = "IP restrictions and binding";
constexpr char kTrust[] = "Trust";
constexpr char kSessions[] = "Sessions and time-outs";
constexpr char kProtocol[] = "Protocol options";
constexpr char kBoolean[] = "True or False.";
constexpr char kGroups[] =
    "Operating-system group names separated by \";\". A name with a character outside ASCII is refused; a name the "
    "operating system does not know is accepted with a warning in the log.";
constexpr char kAddressList[] =
    "Entries separated by \";\" (\",\" is accepted too). An entry is one address, such as 10.0.0.5, or a range of "
    "two addresses joined by \"-\", such as 10.0.0.1-10.0.0.20, the lower first. Numbers are written without "
    "leading zeros. Empty: no entry.";

// In the order of the settings model.
constexpr HelpSettingTopic kSettings[] = {
    {"admin-group", "Administrator Group", kSignIn, kGroups, "", false,
     "Members of these groups sign in as administrators: they may change settings and certificates and read the "
     "log."},
    {"operator-group", "Operator Group", kSignIn, kGroups, "", false,
     "Members of these groups sign in as operators. They see the portal and the applications' pages at the "
     "operator level, but cannot change the portal's settings."},
    {"user-group", "User Group", kSignIn, kGroups, "", false,
     "Members of these groups sign in as users, the lowest level of an account with a password. An account in "
     "none of the three groups cannot sign in (unless it is an operating-system administrator, see Allow Default "
     "OS Administrator)."},
    {"allow-default-os-admin", "Allow Default OS Administrator", kSignIn, kBoolean, "True", false,
     "When True, the operating system's own administrators (root and the members of the group sudo) sign in as "
     "administrators even when they are in no group of Administrator Group. Set it to False to grant the "
     "administrator level only through Administrator Group."},
    {"reject-prog-admin-login", "Reject Programmatic Administrator Login", kSignIn, kBoolean, "True", false,
     "When True, programs that send a user name and password with each request (HTTP Basic) cannot sign in with "
     "an administrator's account; people signing in on the sign-in page are not affected."},
    {"allow-old-style-login", "Allow Old-Style Login", kSignIn, kBoolean, "True", false,
     "When True, programs may send a user name and password with each request (HTTP Basic) over HTTPS instead of "
     "signing in on the sign-in page. Passwords are never accepted over plain HTTP."},
    {"anonymous-access", "Anonymous Access", kAnonymous, kBoolean, "False", false,
     "When True, anyone who reaches the portal without signing in is let in at the anonymous level and sees what "
     "the applications show to anonymous users. Signing in still gives the account's own level."},
    {"localaccess-enabled", "Local Access", kAnonymous, kBoolean, "False", false,
     "When True, a browser on this machine itself (address 127.0.0.1) is let in without a password, at the level "
     "chosen in Local Access Type."},
    {"localaccess-type", "Local Access Type", kAnonymous, "Anonymous or Administrator.", "Anonymous", false,
     "The level given to local access when Local Access is True. Administrator gives everyone who can use a "
     "browser on this machine full control of the portal; choose it only when the machine's own accounts are "
     "trusted."},
    {"trustmode", "Trust Mode", kTrust, "TrustByCert, TrustByName or TrustByAll.", "TrustByCert", false,
     "Which management servers this portal trusts: those whose certificate is among the trusted certificates "
     "(TrustByCert), those named in TrustByName List (TrustByName), or any server (TrustByAll)."},
    {"zqnamelist", "TrustByName List", kTrust,
     "Server names separated by \";\" or \",\" (stored with \";\"), each 1 to 64 characters, without blanks "
     "between names and without any of ~ ' ! @ # $ % ^ & * ( ) + = : < > ? , | and the double quote. At most 1024 "
     "characters.",
     "", false, "The management servers trusted when Trust Mode is TrustByName."},
    {"ip-restricted-logins", "IP Restricted Logins", kAddresses, kBoolean, "False", true,
     "When True, the portal is reachable only from the addresses of IP Restricted Include (and from this machine "
     "itself), and never from the addresses of IP Restricted Exclude. When False both lists are kept but not "
     "used."},
    {"ip-restricted-include", "IP Restricted Include", kAddresses, kAddressList, "", true,
     "The addresses that may reach the portal when IP Restricted Logins is True. Empty: every address not "
     "excluded."},
    {"ip-restricted-exclude", "IP Restricted Exclude", kAddresses, kAddressList, "", true,
     "The addresses that may never reach the portal when IP Restricted Logins is True, even when they are also "
     "included."},
    {"lock-ports", "Lock Legacy Agent Ports", kProtocol, "0 (automatic), 1 (lock) or 2 (do not lock).", "0", false,
     "Whether the portal holds the legacy agents' ports exclusively while it looks for agents. 0 lets the "
     "portal decide for this operating system (it does not lock on Linux). Takes effect at the next search for "
     "agents."},
    {"session-timeout", "Session Time-out", kSessions, "A number of minutes from 1 to 60.", "15", false,
     "A sign-in ends after this many minutes without a request; the next page asks for the password again."},
    {"session-maximum", "Session Maximum", kSessions, "A number from 32 to 500.", "128", false,
     "How many sign-ins may be open at once. When all are in use, a further sign-in is refused until one ends. "
     "One account may hold a few sessions at once; its oldest ends when it signs in again beyond that."},
    {"ip-binding", "IP Binding", kAddresses, kBoolean, "False", true,
     "When True, the portal listens only on this machine's addresses that lie in the networks of IP Binding "
     "List (and on 127.0.0.1); when False, on every address."},
    {"ip-binding-list", "IP Binding List", kAddresses,
     "Up to 5 networks separated by \";\", each an address and a mask joined by \"/\", such as "
     "192.168.1.0/255.255.255.0. The mask's bits must be contiguous and its first number at least 128.",
     "", true, "The networks whose addresses the portal listens on when IP Binding is True."},
    {"win32-disable-acceptex", "Disable AcceptEx", kProtocol, kBoolean, "False", true,
     "A web-server option of the Windows platform. It is kept, checked and passed on to group configuration, but "
     "has no effect on Linux."},
    {"disable-sslv2", "Disable SSLv2", kProtocol, kBoolean, "True", true,
     "Kept for management servers that read it. On this platform SSLv2 and SSLv3 are never offered, whatever the "
     "value: the portal accepts TLS 1.2 and later only."},
    {"ui-timeout", "UI Time-out", kSessions, "A number of seconds from 10 to 3600.", "20", true,
     "How long the homepage's navigation tree may take to collect the navigation of all applications and agents. "
     "When it takes longer, the tree says which application was slow."},
};

bool SameName(std::string_view a, const char* b) {
  size_t n = strlen(b);
  return a.size() == n && strncasecmp(a.data(), b, n) == 0;
}

}  // namespace

const HelpPageTopic* HelpPageTopics(size_t* count) {
  *count = std::size(kPages);
  return kPages;
}

const HelpSettingTopic* HelpSettingTopics(size_t* count) {
  *count = std::size(kSettings);
  return kSettings;
}

HelpTopicRef FindHelpTopic(std::string_view name) {
  HelpTopicRef ref;
  if (name.empty()) {
    ref.kind = HelpTopicKind::kStart;
  } else if (SameName(name, "contents")) {
    ref.kind = HelpTopicKind::kContents;
  } else if (SameName(name, "index")) {
    ref.kind = HelpTopicKind::kIndex;
  } else if (name.size() > sizeof kSettingTopicPrefix - 1 &&
             strncasecmp(name.data(), kSettingTopicPrefix, sizeof kSettingTopicPrefix - 1) == 0) {
    std::string_view setting = name.substr(sizeof kSettingTopicPrefix - 1);
    for (const HelpSettingTopic& s : kSettings)
      if (SameName(setting, s.name)) {
        ref.kind = HelpTopicKind::kSetting;
        ref.setting = &s;
      }
  } else {
    for (const HelpPageTopic& p : kPages)
      if (SameName(name, p.name)) {
        ref.kind = HelpTopicKind::kPage;
        ref.page = &p;
      }
  }
  return ref;
}

std::string HelpTopicHref(std::string_view name) { return std::string("/help?topic=").append(name); }

std::string HelpPlainText(std::string_view markup) {
  std::string text;
  text.reserve(markup.size());
  bool inTag = false;
  for (char c : markup) {
    if (c == '<') {
      inTag = true;
      text += ' ';
    } else if (c == '>') {
      inTag = false;
    } else if (!inTag) {
      text += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
  }
  return text;
}
