// The homepage: who and where, the installed web applications, and the
// navigation that the applications and the legacy agents add to the tree.
(function () {
  "use strict";
  // A settings path (/Proxy/configui sends "?chppath=settings::...") opens
  // the settings page.
  if (/[?&]chppath=settings/i.test(window.location.search)) {
    window.location.replace("/settings.html");
    return;
  }
  var el = Kel.el;
  Kel.frame("home");
  if (typeof systemname !== "undefined") Kel.byId("home-system").textContent = systemname;
  if (typeof kelversion !== "undefined") Kel.byId("home-version").textContent = kelversion + ".";
  if (typeof username !== "undefined") Kel.byId("home-user").textContent = "Signed in as " + username + ".";

  var apps = Kel.byId("apps");
  var shown = (typeof webapplist !== "undefined" ? webapplist : []).filter(function (a) {
    return a.hidden !== "true";
  });
  shown.forEach(function (a) {
    var name = a.marketingname && a.marketingname !== "(None)" ? a.marketingname : a.name;
    var item = el("li", { "data-app": a.name }, [Kel.link(a.entryurl || "/", name)]);
    if (a.helpurl && Kel.safeUrl(a.helpurl))
      item.appendChild(el("span", {}, [" (", Kel.link(a.helpurl, "help", { "aria-label": "Help for " + name }), ")"]));
    apps.appendChild(item);
  });
  if (!shown.length) apps.appendChild(el("li", { text: "No web applications are installed." }));

  var portal = Kel.byId("portal-links");
  var links = [["/help?topic=home", "Help"]];
  if (Kel.isAdministrator())
    links = [["/settings.html", "Settings"], ["/certificates.html", "Certificates"], ["/log.html", "Log"]].concat(links);
  links.forEach(function (l) { portal.appendChild(el("li", {}, [Kel.link(l[0], l[1])])); });

  // The navigation tree's folders, each a heading with its links.
  function showTree(folders) {
    var tree = Kel.byId("tree");
    var list = el("ul", { "class": "kel-tree" });
    folders.forEach(function (folder, i) {
      var id = "tree-folder-" + i;
      var items = el("ul", { "aria-labelledby": id });
      folder.items.forEach(function (item) {
        var entry = el("li", {}, [Kel.link(item.url, item.label)]);
        if (item.status) entry.appendChild(el("span", { "class": "status", text: item.status }));
        items.appendChild(entry);
      });
      list.appendChild(el("li", {}, [el("h3", { id: id, text: folder.name }), items]));
    });
    tree.appendChild(list);
    Kel.byId("tree-state").textContent = folders.length ? "" : "Nothing was added to the navigation.";
  }

  // The applications' and agents' navigation scripts ran in this page
  // before this script; what they added is the tree.
  if (typeof chpTree !== "undefined" && Array.isArray(chpTree)) showTree(chpTree);
  else Kel.byId("tree-state").textContent = "The navigation could not be loaded.";
})();
