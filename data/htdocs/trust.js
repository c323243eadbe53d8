// The management server's trust flow for a person. The management server's
// sign-in sends the browser here with ?ZQName=<server>&RedirectSsoUrl=<url>;
// after the portal's own sign-in (which returns here) the portal fetches the
// server's certificate (getaiclogininfo, which also leaves it in the ZQCert
// cookie), the person looks at it, and an administrator trusts it
// (doaicafterlogin); the message page then offers the way back.
(function () {
  "use strict";
  Kel.frame("trust");
  var params = new URLSearchParams(window.location.search);
  var server = params.get("ZQName") || "";
  var onward = params.get("RedirectSsoUrl") || "";
  var state = Kel.byId("trust-state");
  Kel.byId("trust-server").textContent = server || "(none named)";
  if (!server) {
    state.textContent = "No management server was named: open this page from the management server's sign-in.";
    return;
  }
  // getaiclogininfo wants the name first and an "&" after it.
  var fetchUrl = "/proxy/kelui/getaiclogininfo?ZQName=" + encodeURIComponent(server) + "&RedirectSsoUrl=" +
                 encodeURIComponent(onward);
  Kel.fetchText(fetchUrl).then(function (answer) {
    if (answer.outcome) {
      state.textContent = "";
      Kel.showOutcome(Kel.byId("outcome"), answer.outcome);
      return;
    }
    state.textContent = "";
    Kel.byId("trust-detail").textContent = Kel.textOfHtml(answer.text);
    Kel.byId("trust-cert").hidden = false;
    if (!Kel.isAdministrator())
      Kel.byId("trust-intro").appendChild(document.createTextNode(
        " Only an administrator can trust it; you are not signed in as one."));
    Kel.byId("trust-button").focus();
  }).catch(function (e) { Kel.failed(Kel.byId("outcome"), e.message || e); });

  Kel.byId("trust-button").addEventListener("click", function () {
    Kel.postForm("/proxy/kelui/doaicafterlogin?RedirectSsoUrl=" + encodeURIComponent(onward), "")
      .then(function (answer) {
        if (answer.outcome) window.location.assign(answer.url);
        else Kel.showOutcome(Kel.byId("outcome"), { code: "x", kind: "4", extra: "" });
      }).catch(function (e) { Kel.failed(Kel.byId("outcome"), e.message || e); });
  });
})();
