// The log page: the portal's diagnostic log and, when there is one, the
// legacy agents' log, newest record first, each with its severity, filtered
// by severity and text.
(function () {
  "use strict";
  var el = Kel.el;
  var SEVERITIES = ["Information", "Warning", "Error", "Critical error"];
  var NAMES = { "INFORMATION LOG": 0, "WARNING LOG": 1, "ERROR LOG": 2, "CRITICAL ERROR LOG": 3 };
  var records = [];
  Kel.frame("log");
  var form = Kel.byId("log-filter");
  var source = Kel.byId("log-source");
  if (!Kel.isAdministrator()) {
    Kel.byId("log-count").textContent = "Only administrators may read the portal's log.";
    return;
  }
  if (typeof orvlog !== "undefined" && orvlog)
    source.appendChild(el("option", { value: "orvlog", text: "The legacy agents' log" }));
  if (window.location.hash === "#orvlog" && source.querySelector("option[value=orvlog]")) source.value = "orvlog";
  form.hidden = false;

  // The log view escapes only "<" and ">". A record begins with a line
  // "<severity name> (severity=<n>)  <time>"; what follows up to the next
  // such line is its text.
  function parse(text) {
    var plain = text.replace(/&lt;/g, "<").replace(/&gt;/g, ">");
    var head = /^(INFORMATION LOG|WARNING LOG|ERROR LOG|CRITICAL ERROR LOG) \(severity=(\d+)\)  (.*)$/gm;
    var found = [], m;
    while ((m = head.exec(plain)) !== null)
      found.push({ at: m.index, end: head.lastIndex, severity: parseInt(m[2], 10), name: m[1], when: m[3] });
    return found.map(function (r, i) {
      var body = plain.slice(r.end + 1, i + 1 < found.length ? found[i + 1].at : plain.length);
      var severity = r.severity >= 0 && r.severity <= 3 ? r.severity : NAMES[r.name];
      return { severity: severity, when: r.when, text: body.replace(/\s+$/, "") };
    }).reverse();
  }

  function show() {
    var least = parseInt(Kel.byId("log-severity").value, 10);
    var wanted = Kel.byId("log-text").value.toLowerCase();
    var list = Kel.clear(Kel.byId("log"));
    var shown = records.filter(function (r) {
      return r.severity >= least && (!wanted || r.text.toLowerCase().indexOf(wanted) >= 0);
    });
    shown.forEach(function (r) {
      list.appendChild(el("li", { "class": "sev-" + r.severity, "data-severity": r.severity }, [
        el("div", { "class": "head" }, [SEVERITIES[r.severity] + " - " + r.when]),
        el("p", { "class": "text", text: r.text })
      ]));
    });
    Kel.byId("log-count").textContent = shown.length + " of " + records.length + " records shown, newest first.";
  }

  function load() {
    Kel.byId("log-count").textContent = "Reading the log…";
    return Kel.fetchText("/proxy/kelui/getkellog?text&" + source.value).then(function (answer) {
      if (answer.outcome) {
        Kel.showOutcome(Kel.byId("outcome"), answer.outcome);
        records = [];
      } else {
        records = parse(answer.text);
      }
      show();
    }).catch(function (e) { Kel.failed(Kel.byId("outcome"), e.message || e); });
  }

  source.addEventListener("change", load);
  Kel.byId("log-severity").addEventListener("change", show);
  Kel.byId("log-text").addEventListener("input", show);
  Kel.byId("log-reload").addEventListener("click", load);
  form.addEventListener("submit", function (event) { event.preventDefault(); show(); });
  load();
})();
