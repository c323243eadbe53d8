// Shows why a sign-in failed, the system name, the login message and
// picture once the portal provides them, and keeps the page the person
// asked for, to return to after the sign-in.
(function () {
  var errors = {
    "1": "The user name or password is not right, or the account may not use the portal.",
    "2": "Too many people are signed in. Try again later."
  };
  var params = new URLSearchParams(window.location.search);
  var error = params.get("error");
  if (error && errors[error]) {
    var e = document.getElementById("error");
    e.textContent = errors[error];
    e.hidden = false;
  }
  var next = params.get("next");
  if (next && Kel.safeUrl(next) && next.charAt(0) === "/") document.getElementById("next").value = next;

  Kel.fetchText("/proxy/kelui/getlogininfo").then(function (answer) {
    if (answer.status !== 200) return;
    var data = Kel.assignments(answer.text);
    if (data.systemname) document.getElementById("systemname").textContent = data.systemname;
    if (data.loginmsg) document.getElementById("loginmsg").textContent = data.loginmsg;
    if (data.loginjpg && Kel.safeUrl(data.loginjpg)) {
      var picture = document.getElementById("loginjpg");
      picture.src = data.loginjpg;
      picture.hidden = false;
    }
  });
})();
