<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>QX Kel Portal - Sign in</title>
<link rel="stylesheet" href="/login/login.css">
</head>
<body>
<main class="login">
  <h1 id="systemname">QX Kel Portal</h1>
  <p id="loginmsg"></p>
  <p id="error" class="error" hidden></p>
  <form method="post" action="/proxy/kellogin">
    <label>User name <input name="user" autocomplete="username" required autofocus></label>
    <label>Password <input name="password" type="password" autocomplete="current-password" required></label>
    <button type="submit">Sign in</button>
  </form>
</main>
<script src="/login/login.js"></script>
</body>
</html>
