// Shows why a sign-in failed, and the system name and login message once
// the portal provides them.
(function () {
  var errors = {
    "1": "The user name or password is not right, or the account may not use the portal.",
    "2": "Too many people are signed in. Try again later."
  };
  var m = /[?&]error=(\d)/.exec(window.location.search);
  if (m && errors[m[1]]) {
    var e = document.getElementById("error");
    e.textContent = errors[m[1]];
    e.hidden = false;
  }
  var request = new XMLHttpRequest();
  request.open("GET", "/proxy/kelui/getlogininfo");
  request.onload = function () {
    if (request.status !== 200) return;
    var data = {};
    try {
      // The answer is JavaScript assignments; read them without running them.
      request.responseText.replace(/^\s*(\w+)\s*=\s*"((?:[^"\\]|\\.)*)";/gm, function (all, name, value) {
        data[name] = value.replace(/\\(.)/g, "$1");
      });
    } catch (err) {
      return;
    }
    if (data.systemname) document.getElementById("systemname").textContent = data.systemname;
    if (data.loginmsg) document.getElementById("loginmsg").textContent = data.loginmsg;
  };
  request.send();
})();
