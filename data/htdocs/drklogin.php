<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>QX Kel Portal - Sign in</title>
<link rel="stylesheet" href="/login/login.css">
</head>
<body>
<main class="login">
  <h1 id="systemname">QX Kel Portal</h1>
  <img id="loginjpg" alt="" hidden>
  <p id="loginmsg"></p>
  <p id="error" class="error" role="alert" hidden></p>
  <form method="post" action="/proxy/kellogin">
    <input type="hidden" name="next" id="next" value="">
    <label>User name <input name="user" autocomplete="username" required autofocus></label>
    <label>Password <input name="password" type="password" autocomplete="current-password" required></label>
    <button type="submit">Sign in</button>
  </form>
</main>
<script src="/kel.js"></script>
<script src="/login/login.js"></script>
</body>
</html>
