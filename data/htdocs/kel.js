// What every page of the portal shares: building the page from the data the
// modules answer, always as text nodes (nothing a server or a user typed is
// ever parsed as markup), the form posts and what their answers mean, and the
// texts of the message codes.
var Kel = (function () {
  "use strict";

  // An element with attributes (a "text" attribute becomes its text) and
  // children; strings among the children become text nodes.
  function el(tag, attrs, children) {
    var node = document.createElement(tag);
    var a = attrs || {};
    Object.keys(a).forEach(function (name) {
      var v = a[name];
      if (v === null || v === undefined || v === false) return;
      if (name === "text") node.textContent = String(v);
      else if (name === "onclick" || name === "onsubmit" || name === "onchange" || name === "oninput")
        node[name] = v;
      else node.setAttribute(name, v === true ? "" : String(v));
    });
    (children || []).forEach(function (c) {
      if (c === null || c === undefined) return;
      node.appendChild(typeof c === "string" ? document.createTextNode(c) : c);
    });
    return node;
  }

  function clear(node) {
    while (node.firstChild) node.removeChild(node.firstChild);
    return node;
  }

  function byId(id) { return document.getElementById(id); }

  function defined(name) { return typeof window[name] !== "undefined"; }

  function isAdministrator() { return defined("kelconfigauth") && window.kelconfigauth === true; }

  // Only the portal's own paths and web addresses are ever made links.
  function safeUrl(url) {
    var u = String(url || "");
    if (/^\/(?![\/\\])/.test(u) || /^https?:\/\//i.test(u)) return u;
    return null;
  }

  function link(url, text, attrs) {
    var a = el("a", attrs || {}, [String(text)]);
    var safe = safeUrl(url);
    if (safe) a.href = safe;
    return a;
  }

  // Every request carries the session cookie; answers that went through a
  // redirect say where they ended (the message page names the outcome).
  function fetchText(url, options) {
    var o = options || {};
    o.credentials = "same-origin";
    return fetch(url, o).then(function (r) {
      return r.text().then(function (text) {
        return { status: r.status, url: r.url, text: text, type: r.headers.get("Content-Type") || "",
                 outcome: outcomeOf(r.url) };
      });
    });
  }

  // An urlencoded body of an object's fields.
  function form(fields) {
    return Object.keys(fields).map(function (k) {
      return encodeURIComponent(k) + "=" + encodeURIComponent(fields[k]);
    }).join("&");
  }

  function postForm(url, body) {
    return fetchText(url, { method: "POST", headers: { "Content-Type": "application/x-www-form-urlencoded" },
                            body: typeof body === "string" ? body : form(body) });
  }

  // "/message.php?<code>&<kind>[&<extra>]" of a URL, or null.
  function outcomeOf(url) {
    var at = String(url || "").indexOf("/message.php?");
    if (at < 0) return null;
    return parseMessageQuery(String(url).slice(at + "/message.php?".length));
  }

  function decode(text) {
    try { return decodeURIComponent(text); } catch (e) { return text; }
  }

  function parseMessageQuery(query) {
    var parts = String(query || "").replace(/#.*$/, "").split("&");
    var code = parts[0] || "";
    var kindText = parts[1] || "";
    // The refusal "200&4" has no "&" before what follows it.
    var kind = kindText.charAt(0);
    var extra = kindText.length > 1 ? kindText.slice(1) : "";
    if (parts.length > 2) extra = parts.slice(2).join("&");
    return { code: code, kind: kind, extra: decode(extra) };
  }

  // The JavaScript assignments of a settings or tag answer, read without
  // running them: name="text"; and name=number;.
  function assignments(text) {
    var data = {};
    var re = /^\s*([A-Za-z_$][\w$]*)\s*=\s*(?:"((?:[^"\\\n]|\\.)*)"|(-?\d+)|(true|false|null))\s*;?\s*$/gm;
    var m;
    while ((m = re.exec(text)) !== null) {
      if (m[2] !== undefined) data[m[1]] = unescapeJs(m[2]);
      else if (m[3] !== undefined) data[m[1]] = parseInt(m[3], 10);
      else data[m[1]] = m[4] === "null" ? null : m[4] === "true";
    }
    // A text written as one piece per line (the login message): its lines.
    var joined = /^\s*([A-Za-z_$][\w$]*)\s*=\s*""((?:\s*\+\s*"(?:[^"\\\n]|\\.)*")+)\s*;/gm;
    while ((m = joined.exec(text)) !== null) {
      var pieces = [], piece = /"((?:[^"\\\n]|\\.)*)"/g, p;
      while ((p = piece.exec(m[2])) !== null) pieces.push(unescapeJs(p[1]));
      data[m[1]] = pieces.join("\n");
    }
    return data;
  }

  function unescapeJs(text) {
    return text.replace(/\\(x[0-9A-Fa-f]{2}|u[0-9A-Fa-f]{4}|.)/g, function (all, e) {
      if (e.length > 1) return String.fromCharCode(parseInt(e.slice(1), 16));
      return { n: "\n", r: "\r", t: "\t" }[e] || e;
    });
  }

  // The text of an HTML answer (a certificate view), read in an inert
  // document: nothing in it runs or loads.
  function textOfHtml(html) {
    return new DOMParser().parseFromString(html, "text/html").body.textContent;
  }

  // What a message code means to a person. kind 2 is a success, 3 and 4
  // are problems; {extra} is the text the module sent along.
  var MESSAGES = {
    "200": "You are not signed in as an administrator, so nothing was changed. Sign in with an administrator's account to do this.",
    "201": "The settings were saved, but the web server could not be restarted to use them. Restart the portal service (kelreset) to put them into effect.",
    "202": "The settings were saved.",
    "203": "The certificate was not added: it must be sent as a form.",
    "204": "Nothing was changed: a value was refused. Values may not contain <, ? or >, and each must keep its setting's rule; the diagnostic log names the value. A certificate that could not be read is refused alike.",
    "205": "The certificate was added to the trusted certificates.",
    "206": "The certificate could not be stored in the trusted certificates. The diagnostic log says why.",
    "207": "That is not a certificate the portal can trust: it must be a PEM certificate (\"-----BEGIN CERTIFICATE-----\") whose subject has a common name (CN).",
    "209": "The certificate was not added: it has expired or is not valid yet.",
    "210": "The settings could not be read: the request named no format.",
    "211": "The settings could not be read: the request named no format.",
    "212": "The settings could not be read: the request named no setting.",
    "301": "No trusted certificate has the file name {extra}.",
    "302": "The trusted certificate {extra} was removed.",
    "303": "The trusted certificate {extra} could not be removed. The diagnostic log says why.",
    "310": "The management server's certificate could not be fetched, so it cannot be trusted. Check the server's name and that it answers on port 280.",
    "311": "You are signed in, but not as an administrator: the management server's certificate was not trusted.",
    "312": "The management server's certificate is now trusted.",
    "2": "Only administrators may create signing requests, import certificates or restart the portal.",
    "501": "The signing request could not be created. The diagnostic log says why.",
    "511": "The signing request was created ({extra}). Send it to your certificate authority, then import its reply.",
    "512": "The signed certificate was imported. The portal serves it after a restart: use Restart on the certificates page.",
    "513": "The portal is restarting to serve the new server certificate. Reload the page in a few seconds.",
    "514": "The portal could not be restarted: the new server certificate is served after the next restart of the portal service.",
    "520": "The certificate authority's reply could not be read: it holds a malformed escape.",
    "521": "The certificate could not be taken from the reply: it must be a PKCS #7 reply holding a currently valid certificate for this server's key that the web server can use. The diagnostic log says why.",
    "522": "The certificate authority's reply could not be read from the request.",
    "523": "The reply must be sent as a form (application/x-www-form-urlencoded).",
    "524": "The reply must be sent with POST.",
    "525": "The organization and the unit may have at most 64 characters each.",
    "530": "No reply was given: paste the certificate authority's PKCS #7 reply or choose its file."
  };
  // The page each code leads back to; codes not named lead home.
  var BACK = { "201": "settings", "202": "settings", "204": "settings", "210": "settings", "211": "settings",
               "212": "settings", "203": "certificates", "205": "certificates", "206": "certificates",
               "207": "certificates", "209": "certificates", "301": "certificates", "302": "certificates",
               "303": "certificates", "2": "certificates" };

  function messageText(o) {
    var known = Object.prototype.hasOwnProperty.call(MESSAGES, o.code);
    var text = known ? MESSAGES[o.code] : "The portal reported code " + o.code + ".";
    return text.replace("{extra}", o.extra || "");
  }

  function kindOf(o) {
    if (o.kind === "2") return { cls: "ok", label: "Done" };
    if (o.kind === "3") return { cls: "warn", label: "Not done" };
    return { cls: "error", label: "Problem" };
  }

  // The page a message leads back to.
  function pageOf(o) {
    if (BACK[o.code]) return "/" + BACK[o.code] + ".html";
    return /^5\d\d$/.test(o.code) ? "/certificates.html" : "/";
  }

  // Shows an outcome in a live region; a problem takes the focus so a
  // screen reader says it at once.
  function showOutcome(region, o, extraNodes) {
    var k = kindOf(o);
    clear(region);
    region.className = "kel-outcome " + k.cls;
    region.appendChild(el("span", { "class": "kind" }, [k.label + ": "]));
    region.appendChild(document.createTextNode(messageText(o)));
    (extraNodes || []).forEach(function (n) { region.appendChild(document.createTextNode(" ")); region.appendChild(n); });
    region.setAttribute("tabindex", "-1");
    region.focus();
  }

  // The answer of a form post: its outcome, or a problem of the request.
  function answerOutcome(answer) {
    if (answer.outcome) return answer.outcome;
    return { code: "HTTP " + answer.status, kind: answer.status < 400 ? "3" : "4", extra: "" };
  }

  function failed(region, error) {
    clear(region);
    region.className = "kel-outcome error";
    region.appendChild(document.createTextNode("The portal could not be reached: " + error + "."));
  }

  var PAGE_LINKS = [
    { page: "home", href: "/", text: "Home", all: true },
    { page: "settings", href: "/settings.html", text: "Settings" },
    { page: "certificates", href: "/certificates.html", text: "Certificates" },
    { page: "log", href: "/log.html", text: "Log" }
  ];

  // The banner (product, system, user, sign out) and the navigation of
  // every page, from the tags the page loaded.
  function frame(page) {
    var header = byId("kel-header");
    if (!header) return;
    var banner = el("div", { "class": "kel-banner" }, [
      el("span", { "class": "product", text: defined("kelversion") ? window.kelversion : "QX Kel Portal" }),
      defined("systemname") ? el("span", { id: "kel-system" }, ["System: " + window.systemname]) : null
    ]);
    if (defined("username")) {
      var signout = el("form", { method: "post", action: "/proxy/kellogout" }, [
        el("button", { type: "submit", id: "signout", text: "Sign out" })
      ]);
      banner.appendChild(el("span", { "class": "who" }, [
        el("span", { id: "kel-user" }, ["Signed in as " + window.username]), " ", signout
      ]));
    }
    header.appendChild(banner);
    var items = PAGE_LINKS.filter(function (l) { return l.all || isAdministrator(); }).map(function (l) {
      return el("li", {}, [el("a", { href: l.href, "aria-current": l.page === page ? "page" : null, text: l.text })]);
    });
    items.push(el("li", {}, [el("a", { href: "/help?topic=" + encodeURIComponent(page), text: "Help" })]));
    header.appendChild(el("nav", { "class": "kel-nav", "aria-label": "Portal" }, [el("ul", {}, items)]));
  }

  // Reads a chosen file as text.
  function readFile(input) {
    return new Promise(function (resolve, reject) {
      var file = input.files && input.files[0];
      if (!file) { resolve(""); return; }
      var reader = new FileReader();
      reader.onload = function () { resolve(String(reader.result)); };
      reader.onerror = function () { reject(reader.error); };
      reader.readAsText(file);
    });
  }

  return {
    el: el, clear: clear, byId: byId, link: link, safeUrl: safeUrl, isAdministrator: isAdministrator,
    fetchText: fetchText, form: form, postForm: postForm, outcomeOf: outcomeOf, parseMessageQuery: parseMessageQuery,
    assignments: assignments, textOfHtml: textOfHtml, messageText: messageText, kindOf: kindOf, pageOf: pageOf,
    showOutcome: showOutcome, answerOutcome: answerOutcome, failed: failed, frame: frame, readFile: readFile,
    MESSAGES: MESSAGES
  };
})();
