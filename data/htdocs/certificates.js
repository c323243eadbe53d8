// The certificates page: the trusted certificates of management servers
// (view, text, remove, add by paste or file), the server certificate's
// facts, its signing request, the import of the authority's reply and the
// restart that puts it into service.
(function () {
  "use strict";
  var el = Kel.el;
  var outcome = Kel.byId("outcome");
  var admin = Kel.isAdministrator();
  Kel.frame("certificates");
  Array.prototype.forEach.call(document.querySelectorAll(".admin-only"), function (s) { s.hidden = !admin; });

  function report(answer) {
    var o = Kel.answerOutcome(answer);
    Kel.showOutcome(outcome, o);
    return o;
  }
  function trouble(e) { Kel.failed(outcome, e.message || e); }

  // The certificate list comes as the certlist tag; after a change the tag
  // is loaded again.
  function reloadList() {
    return new Promise(function (resolve) {
      var s = document.createElement("script");
      s.src = "/proxy/kelui/getuiinfo?JS&certlist&t=" + Date.now();
      s.onload = s.onerror = function () { s.parentNode.removeChild(s); showList(); resolve(); };
      document.head.appendChild(s);
    });
  }

  function view(title, url) {
    return Kel.fetchText(url).then(function (answer) {
      Kel.byId("cert-view").hidden = false;
      Kel.byId("cert-view-title").textContent = title;
      var text = Kel.textOfHtml(answer.text);
      Kel.byId("cert-detail").textContent = text || "The certificate could not be shown.";
      Kel.byId("cert-view-title").focus();
    }).catch(trouble);
  }

  function remove(cert) {
    if (!window.confirm("Remove the trusted certificate " + cert.cn + " (" + cert.fname + ")?")) return;
    Kel.postForm("/proxy/kelui/removecert?" + encodeURIComponent(cert.fname), "").then(function (answer) {
      report(answer);
      Kel.byId("cert-view").hidden = true;
      return reloadList();
    }).catch(trouble);
  }

  function showList() {
    var body = Kel.clear(document.querySelector("#trusted tbody"));
    var list = typeof certlist !== "undefined" ? certlist : [];
    list.forEach(function (cert) {
      var q = encodeURIComponent(cert.fname);
      var actions = el("td", {}, [
        el("button", { type: "button", "class": "secondary", "aria-label": "View " + cert.cn, text: "View",
                       onclick: function () { view("Certificate " + cert.cn, "/proxy/kelui/getcertinfo?" + q); } }),
        " ",
        el("button", { type: "button", "class": "secondary", "aria-label": "PEM text of " + cert.cn, text: "Text",
                       onclick: function () { view("PEM text of " + cert.cn, "/proxy/kelui/getcertdata?" + q); } })
      ]);
      if (admin) {
        actions.appendChild(document.createTextNode(" "));
        actions.appendChild(el("button", { type: "button", "class": "danger", "aria-label": "Remove " + cert.cn,
                                           text: "Remove", onclick: function () { remove(cert); } }));
      }
      body.appendChild(el("tr", { "data-file": cert.fname }, [el("td", { text: cert.cn }), el("td", { text: cert.fname }),
                                                              actions]));
    });
    if (!list.length)
      body.appendChild(el("tr", {}, [el("td", { colspan: "3", text: "No management server's certificate is trusted." })]));
  }

  // Pasted text, or else the chosen file's.
  function given(textId, fileId) {
    var text = Kel.byId(textId).value.trim();
    return text ? Promise.resolve(text) : Kel.readFile(Kel.byId(fileId));
  }

  Kel.byId("add-form").addEventListener("submit", function (event) {
    event.preventDefault();
    given("add-text", "add-file").then(function (text) {
      return Kel.postForm("/proxy/AddZQCert", "AddZQCert=" + encodeURIComponent(text));
    }).then(function (answer) {
      if (report(answer).kind === "2") {
        Kel.byId("add-form").reset();
        return reloadList();
      }
    }).catch(trouble);
  });

  function showServerCert() {
    return Kel.fetchText("/proxy/kelui/getservercert").then(function (answer) {
      var c = Kel.assignments(answer.text);
      var facts = Kel.clear(Kel.byId("server-facts"));
      if (!c.servercert_known) {
        facts.appendChild(el("dd", { text: "The server certificate could not be read." }));
        return;
      }
      [["Subject", c.servercert_subject, "server-subject"], ["Issuer", c.servercert_issuer, "server-issuer"],
       ["Valid from", c.servercert_notbefore, "server-notbefore"],
       ["Valid until", c.servercert_notafter, "server-notafter"],
       ["SHA-256 fingerprint", c.servercert_sha256, "server-sha256"]].forEach(function (f) {
        facts.appendChild(el("dt", { text: f[0] }));
        facts.appendChild(el("dd", { id: f[2], text: f[1] }));
      });
    }).catch(trouble);
  }

  Kel.byId("request-form").addEventListener("submit", function (event) {
    event.preventDefault();
    var query = Kel.form({ orgz: Kel.byId("request-org").value, org_unit: Kel.byId("request-unit").value });
    Kel.postForm("/proxy/kelgen_c.htm?" + query, "").then(function (answer) {
      if (report(answer).code !== "511") return;
      return Kel.fetchText("/proxy/kelui/getcertreq").then(function (file) {
        Kel.byId("request-text").textContent = file.text;
        Kel.byId("request-result").hidden = false;
      });
    }).catch(trouble);
  });

  Kel.byId("import-form").addEventListener("submit", function (event) {
    event.preventDefault();
    given("import-text", "import-file").then(function (text) {
      // The import decodes its field twice.
      return Kel.postForm("/proxy/kelimp_c.htm", "pkcs7_data=" + encodeURIComponent(encodeURIComponent(text)));
    }).then(function (answer) {
      if (report(answer).kind === "2") Kel.byId("import-form").reset();
    }).catch(trouble);
  });

  var confirmBox = Kel.byId("restart-confirm-box");
  Kel.byId("restart-button").addEventListener("click", function () {
    confirmBox.hidden = false;
    Kel.byId("restart-confirm").focus();
  });
  Kel.byId("restart-cancel").addEventListener("click", function () {
    confirmBox.hidden = true;
    Kel.byId("restart-button").focus();
  });
  Kel.byId("restart-confirm").addEventListener("click", function () {
    confirmBox.hidden = true;
    Kel.postForm("/proxy/kelrestart_c.htm", "").then(report).catch(trouble);
  });

  showList();
  showServerCert();
})();
