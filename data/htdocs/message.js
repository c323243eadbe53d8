// The message page: the outcome the portal's modules redirect to as
// "/message.php?<code>&<kind>[&<extra>]", in words, with a way back and,
// where the module sent one, the way on.
(function () {
  "use strict";
  var o = Kel.parseMessageQuery(window.location.search.replace(/^\?/, ""));
  var k = Kel.kindOf(o);
  document.title = "QX Kel Portal - " + k.label;
  Kel.byId("message-title").textContent = k.label;
  var box = Kel.byId("message");
  box.className = "kel-outcome " + k.cls;
  box.setAttribute("data-code", o.code);
  box.setAttribute("data-kind", o.kind);
  box.textContent = Kel.messageText(o);

  var ways = Kel.byId("message-ways");
  function way(href, text, id) {
    var a = Kel.link(href, text, { id: id });
    ways.appendChild(Kel.el("li", {}, [a]));
    return a;
  }
  // The management server's sign-in sent an address to go on to.
  if (/^31[012]$/.test(o.code) && o.extra) {
    if (Kel.safeUrl(o.extra)) way(o.extra, "Continue to " + o.extra, "message-on");
    else Kel.byId("message-more").textContent = "The address to continue to was not used: " + o.extra;
  }
  if (o.code === "511") way("/proxy/kelui/getcertreq", "Download the signing request (req_cr.pem)", "message-download")
    .setAttribute("download", "req_cr.pem");
  var back = Kel.pageOf(o);
  way(back, back === "/" ? "Back to the homepage" : "Back to the " + back.replace(/^\/|\.html$/g, "") + " page",
      "message-back");
  way("/help?topic=messages", "Help on messages", "message-help");
  Kel.byId("message-back").focus();
})();
