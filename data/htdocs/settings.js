// The settings page: every setting of the portal, grouped as a server
// console groups them, read through /proxy/GetKELData (and, for the three
// that have no script form there, through /proxy/kelui/getsettings), checked
// by the server's own rules as they are typed, and saved through
// /proxy/SetKELData. Only changed settings are posted, so that only a change
// that needs a restart restarts the web server.
(function () {
  "use strict";
  var el = Kel.el;

  // The server's rules, in its words where it has them.
  function atoi(text) {
    var m = /^[ \t\n\v\f\r]*([+-]?\d+)/.exec(text);
    return m ? parseInt(m[1], 10) : 0;
  }
  function numberIn(maxChars, low, high) {
    return function (v) {
      var n = atoi(v);
      if (v.length < 1 || v.length > maxChars || n < low || n > high)
        return "Enter a number from " + low + " to " + high + ".";
      return "";
    };
  }
  function nonAscii(text) { return /[^\x00-\x7f]/.test(text); }
  function octet(t) { return /^(0|[1-9]\d{0,2})$/.test(t) && parseInt(t, 10) <= 255; }
  function address(t) {
    var p = t.split(".");
    return p.length === 4 && p.every(octet) ? p.map(Number) : null;
  }
  // The entries of a ";" list: one trailing separator is allowed, an empty
  // entry elsewhere is not (null).
  function entries(v) {
    if (v === "") return [];
    var text = v.charAt(v.length - 1) === ";" ? v.slice(0, -1) : v;
    var list = text.split(";");
    return list.some(function (e) { return e === ""; }) ? null : list;
  }
  var RULES = {
    groups: function (v, def) {
      if (v.length > def.max) return "At most " + def.max + " characters.";
      var bad = v.split(";").filter(function (n) { return n && nonAscii(n); });
      return bad.length ? "Group names may hold only ASCII characters: " + bad.join(", ") + "." : "";
    },
    choice: function () { return ""; },
    names: function (v) {
      if (v.length > 1024) return "At most 1024 characters.";
      var names = v.split(";");
      for (var i = 0; i < names.length; i++) {
        var last = i === names.length - 1;
        if (names[i] === "" && !last) return "A name is empty: separate names by one \";\" or \",\".";
        if (names[i].length > 64) return "Each name may have at most 64 characters.";
        if (/[^\x00-\x7f]|[~'!@#$%^&*()+=:<>?,|"]/.test(names[i]))
          return "A name may not hold ~ ' ! @ # $ % ^ & * ( ) + = : < > ? , | \" or non-ASCII characters.";
      }
      return "";
    },
    restriction: function (v, def) {
      var msg = "Enter addresses (a.b.c.d) or ranges (a.b.c.d-e.f.g.h) separated by \";\".";
      if (v.length > def.max || /[^0-9.;-]/.test(v)) return msg;
      var list = entries(v);
      if (!list) return msg;
      for (var i = 0; i < list.length; i++) {
        var ends = list[i].split("-");
        if (ends.length > 2) return msg;
        var a = address(ends[0]), b = ends.length === 2 ? address(ends[1]) : a;
        if (!a || !b) return msg;
        for (var k = 0; k < 4 && a[k] === b[k]; k++);
        if (k < 4 && a[k] > b[k]) return "A range must not start above its end: " + list[i] + ".";
      }
      return "";
    },
    binding: function (v, def) {
      var msg = "Enter up to five address/mask pairs (a.b.c.d/255.255.255.0) separated by \";\".";
      if (v.length > def.max) return msg;
      var list = entries(v);
      if (!list || list.length > 5) return msg;
      for (var i = 0; i < list.length; i++) {
        var parts = list[i].split("/");
        var a = parts.length === 2 && address(parts[0]), m = parts.length === 2 && address(parts[1]);
        if (!a || !m) return msg;
        var bits = ((m[0] << 24) | (m[1] << 16) | (m[2] << 8) | m[3]) >>> 0;
        var inverted = (~bits) >>> 0;
        if (m[0] < 128 || ((inverted & (inverted + 1)) >>> 0) !== 0)
          return "A mask must start with at least 128 and its bits must be contiguous: " + list[i] + ".";
      }
      return "";
    },
    lockports: function (v) { return /^[012]$/.test(v) ? "" : "Choose 0, 1 or 2."; },
    sessiontimeout: numberIn(2, 1, 60),
    sessionmaximum: numberIn(3, 32, 500),
    uitimeout: numberIn(4, 10, 3600)
  };
  // What the settings form refuses of any value.
  function formRule(v) {
    if (/[<?>]/.test(v)) return "Values may not contain <, ? or >.";
    if (/[\x00-\x1f\x7f]/.test(v)) return "Values may not contain control characters.";
    return "";
  }
  // The rewrite the server makes before it checks ("," becomes ";").
  function normalised(def, v) {
    if (def.rule === "names") return v.replace(/,/g, ";");
    if (def.rule === "restriction" && /^[0-9.;,-]*$/.test(v)) return v.replace(/,/g, ";");
    return v;
  }

  var BOOL = [["True", "Yes"], ["False", "No"]];
  function S(name, label, rule, max, restart, script, help, choices) {
    return { name: name, label: label, rule: rule, max: max, restart: restart, script: script, help: help,
             choices: choices };
  }
  var GROUPS = [
    { title: "Who may sign in, and at which level", settings: [
      S("admin-group", "Administrator groups", "groups", 1284, false, true,
        "Operating-system groups whose members sign in as administrators. Separate groups by \";\".") ,
      S("operator-group", "Operator groups", "groups", 1284, false, true,
        "Groups whose members sign in as operators. Separate groups by \";\"."),
      S("user-group", "User groups", "groups", 1284, false, true,
        "Groups whose members sign in as users. Separate groups by \";\"."),
      S("allow-default-os-admin", "Operating-system administrators are portal administrators", "choice", 32, false,
        true, "Yes: root and the members of the sudo group sign in as administrators.", BOOL),
      S("reject-prog-admin-login", "Refuse administrators' logins by program", "choice", 32, false, true,
        "Yes: a program that signs in with HTTP Basic credentials at the administrator level is refused.", BOOL),
      S("allow-old-style-login", "Allow logins by program (HTTP Basic)", "choice", 32, false, true,
        "Yes: programs may sign in with HTTP Basic credentials over HTTPS.", BOOL)] },
    { title: "Anonymous and local access", settings: [
      S("anonymous-access", "Anonymous access", "choice", 32, false, true,
        "Yes: requests without a login are served at the anonymous level.", BOOL),
      S("localaccess-enabled", "Local access without a login", "choice", 32, false, true,
        "Yes: requests from this machine (127.0.0.1) are served without a login.", BOOL),
      S("localaccess-type", "Level of local access", "choice", 32, false, true,
        "The level local requests are served at.", [["Anonymous", "Anonymous"], ["Administrator", "Administrator"]])] },
    { title: "IP restrictions and binding", settings: [
      S("ip-restricted-logins", "Restrict access by address", "choice", 32, true, true,
        "Yes: only the addresses below may reach the portal.", BOOL),
      S("ip-restricted-include", "Addresses allowed", "restriction", 1025, true, true,
        "Addresses (a.b.c.d) or ranges (a.b.c.d-e.f.g.h) separated by \";\"."),
      S("ip-restricted-exclude", "Addresses refused", "restriction", 1025, true, true,
        "Addresses or ranges separated by \";\"; they are refused even when allowed above."),
      S("ip-binding", "Bind to chosen networks only", "choice", 32, true, true,
        "Yes: the portal listens only on the addresses of the networks below.", BOOL),
      S("ip-binding-list", "Networks to bind to", "binding", 1025, true, true,
        "Up to five address/mask pairs (a.b.c.d/255.255.255.0) separated by \";\".")] },
    { title: "Trust of management servers", settings: [
      S("trustmode", "Trust mode", "choice", 32, false, true,
        "Which management servers may change this portal: those whose certificate is trusted, those named below, or all.",
        [["TrustByCert", "By certificate"], ["TrustByName", "By name"], ["TrustByAll", "All"]]),
      S("zqnamelist", "Trusted management server names", "names", 1024, false, true,
        "Names of management servers separated by \";\" or \",\", each at most 64 characters.")] },
    { title: "Sessions and time-outs", settings: [
      S("session-timeout", "Session time-out (minutes)", "sessiontimeout", 3, false, false,
        "Minutes a session may stay idle before it ends: 1 to 60."),
      S("session-maximum", "Most sessions at once", "sessionmaximum", 4, false, false,
        "How many sessions may be open at once: 32 to 500."),
      S("ui-timeout", "Navigation time-out (seconds)", "uitimeout", 32, true, true,
        "Seconds the homepage's navigation may take before it is reported in the log: 10 to 3600.")] },
    { title: "Protocol options", settings: [
      S("lock-ports", "Lock the legacy agent ports", "lockports", 2, false, false,
        "0 automatic, 1 lock (agents are probed on all addresses), 2 do not lock.",
        [["0", "0 - automatic"], ["1", "1 - lock"], ["2", "2 - do not lock"]]),
      S("disable-sslv2", "Disable SSL 2.0", "choice", 32, true, true,
        "Kept for older tools; this web server never offers SSL 2.0.", BOOL),
      S("win32-disable-acceptex", "Disable AcceptEx", "choice", 32, true, true,
        "Kept for older tools; it has no effect on this platform.", BOOL)] }
  ];
  var ALL = [];
  GROUPS.forEach(function (g) { ALL = ALL.concat(g.settings); });

  var form = Kel.byId("settings");
  var state = Kel.byId("settings-state");
  var outcome = Kel.byId("outcome");
  var loaded = {};
  var controls = {};

  Kel.frame("settings");
  if (!Kel.isAdministrator()) {
    state.textContent = "Only administrators may view and change the portal's settings.";
    form.parentNode.removeChild(form);
    return;
  }

  function field(def) {
    var id = "setting-" + def.name;
    var control;
    if (def.choices) {
      control = el("select", { id: id, "data-setting": def.name },
                   def.choices.map(function (c) { return el("option", { value: c[0], text: c[1] }); }));
    } else {
      control = el("input", { id: id, type: "text", "data-setting": def.name, maxlength: def.max,
                              spellcheck: "false", autocomplete: "off" });
    }
    control.setAttribute("aria-describedby", id + "-hint " + id + "-error");
    var hint = el("p", { "class": "hint", id: id + "-hint" }, [def.help + " ",
      el("a", { href: "/help?topic=setting-" + def.name, text: "More about " + def.label.toLowerCase() })]);
    if (def.restart) hint.appendChild(el("span", { "class": "restart", text: " Changing it restarts the web server." }));
    var error = el("p", { "class": "invalid", id: id + "-error", "aria-live": "polite" });
    control.addEventListener("input", function () { changed(def); });
    control.addEventListener("change", function () { changed(def); });
    controls[def.name] = { def: def, control: control, error: error };
    return el("div", { "class": "kel-field" }, [el("label", { "for": id, text: def.label }), hint, control, error]);
  }

  // A changed setting gets its form name, so that a plain submit posts only
  // the changes; its rule's verdict is shown beside it.
  function changed(def) {
    var c = controls[def.name];
    var value = c.control.value;
    if (value !== loaded[def.name]) c.control.setAttribute("name", def.name);
    else c.control.removeAttribute("name");
    var problem = check(def, value);
    c.error.textContent = problem;
    if (problem) c.control.setAttribute("aria-invalid", "true");
    else c.control.removeAttribute("aria-invalid");
    return problem;
  }

  function check(def, value) {
    return formRule(value) || RULES[def.rule](normalised(def, value), def);
  }

  var groups = Kel.byId("groups");
  GROUPS.forEach(function (g) {
    groups.appendChild(el("fieldset", {}, [el("legend", { text: g.title })].concat(g.settings.map(field))));
  });

  function show(values) {
    loaded = values;
    ALL.forEach(function (def) {
      var c = controls[def.name];
      var v = values[def.name] === undefined ? "" : values[def.name];
      if (def.choices && !def.choices.some(function (ch) { return ch[0] === v; })) {
        // A stored value in another letter case is still the stored value.
        var same = def.choices.filter(function (ch) { return ch[0].toLowerCase() === v.toLowerCase(); })[0];
        if (same) { loaded[def.name] = same[0]; v = same[0]; }
      }
      c.control.value = v;
      c.control.removeAttribute("name");
      c.control.removeAttribute("aria-invalid");
      c.error.textContent = "";
    });
  }

  function load() {
    var scripted = ALL.filter(function (d) { return d.script; });
    var query = "Jscript&" + scripted.map(function (d) { return d.name; }).join("&");
    return Promise.all([
      Kel.fetchText("/proxy/GetKELData?" + query),
      Kel.fetchText("/proxy/kelui/getsettings")
    ]).then(function (answers) {
      var data = Kel.assignments(answers[0].text);
      var values = {};
      scripted.forEach(function (d) {
        var v = data[d.name.replace(/-/g, "_")];
        if (v === undefined) v = "";
        else if (typeof v === "number" && d.choices === BOOL) v = v === 1 ? "True" : "False";
        values[d.name] = String(v);
      });
      if (answers[1].outcome) throw new Error("only administrators may read them");
      var others = Kel.assignments(answers[1].text);
      ALL.filter(function (d) { return !d.script; }).forEach(function (d) {
        var v = others[d.name.replace(/-/g, "_")];
        values[d.name] = v === undefined ? "" : String(v);
      });
      show(values);
    });
  }

  function changes() {
    return ALL.filter(function (d) { return controls[d.name].control.value !== loaded[d.name]; });
  }

  function save(list) {
    var body = {};
    list.forEach(function (d) { body[d.name] = controls[d.name].control.value; });
    Kel.byId("save").disabled = true;
    return Kel.postForm("/proxy/SetKELData", body).then(function (answer) {
      var o = Kel.answerOutcome(answer);
      Kel.showOutcome(outcome, o);
      if (o.kind === "2") return load();
    }).catch(function (e) { Kel.failed(outcome, e.message || e); })
      .then(function () { Kel.byId("save").disabled = false; });
  }

  var warning = Kel.byId("restart-warning");
  var pending = null;
  form.addEventListener("submit", function (event) {
    event.preventDefault();
    var list = changes();
    if (!list.length) {
      Kel.clear(outcome).className = "kel-outcome warn";
      outcome.textContent = "Nothing to save: no setting was changed.";
      return;
    }
    var bad = list.filter(function (d) { return changed(d); });
    if (bad.length) {
      controls[bad[0].name].control.focus();
      return;
    }
    var restart = list.filter(function (d) { return d.restart; });
    if (restart.length) {
      pending = list;
      Kel.byId("restart-names").textContent = "Changes of " + restart.map(function (d) { return d.label; }).join(", ");
      warning.hidden = false;
      Kel.byId("restart-confirm").focus();
      return;
    }
    save(list);
  });
  Kel.byId("restart-confirm").addEventListener("click", function () {
    warning.hidden = true;
    if (pending) save(pending);
    pending = null;
  });
  Kel.byId("restart-cancel").addEventListener("click", function () {
    warning.hidden = true;
    pending = null;
    Kel.byId("save").focus();
  });
  form.addEventListener("reset", function (event) {
    event.preventDefault();
    show(loaded);
  });

  load().then(function () {
    state.textContent = "";
    form.hidden = false;
  }).catch(function (e) {
    state.textContent = "The settings could not be read: " + (e.message || e) + ".";
  });
})();
