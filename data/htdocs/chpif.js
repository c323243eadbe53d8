// The interface the navigation scripts of the web applications and of the
// legacy agents call: each adds its folders and links to the one tree that
// the tree page shows at its end (and the homepage reads from it).
var chpTree = [];
var chpLegacyFolder = "Legacy agents";

function chpFolder(name) {
  for (var i = 0; i < chpTree.length; i++)
    if (chpTree[i].name === String(name)) return chpTree[i];
  var folder = { name: String(name), items: [] };
  chpTree.push(folder);
  return folder;
}

// A link in a folder (created when it is new).
function chpAddItem(folderName, label, url, target) {
  chpFolder(folderName).items.push({ label: String(label), url: String(url || ""), target: target || "_top",
                                     status: "" });
}

// A legacy agent's entry: its pages are reached by its name through the
// portal's map; the second argument is the agent's status text (its tags
// already expanded by the portal).
function addNav(agentName, status) {
  var name = String(agentName);
  chpFolder(chpLegacyFolder).items.push({ label: name, url: "/" + encodeURIComponent(name) + "/", target: "_top",
                                          status: status === undefined ? "" : String(status) });
}

function chpRender(where) {
  var list = document.createElement("ul");
  list.className = "kel-tree chptree";
  for (var i = 0; i < chpTree.length; i++) {
    var folder = document.createElement("li");
    var title = document.createElement("h2");
    title.className = "chpfolder";
    title.textContent = chpTree[i].name;
    folder.appendChild(title);
    var items = document.createElement("ul");
    for (var j = 0; j < chpTree[i].items.length; j++) {
      var item = chpTree[i].items[j];
      var entry = document.createElement("li");
      var link = document.createElement("a");
      // Only the portal's own pages and web addresses; never a script URL.
      if (/^(\/(?![\/\\])|https?:)/i.test(item.url)) link.href = item.url;
      link.target = item.target;
      link.textContent = item.label;
      entry.appendChild(link);
      if (item.status) {
        var status = document.createElement("span");
        status.className = "status";
        status.textContent = item.status;
        entry.appendChild(status);
      }
      items.appendChild(entry);
    }
    folder.appendChild(items);
    list.appendChild(folder);
  }
  where.appendChild(list);
}
