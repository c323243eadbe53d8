<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>QX Kel Portal - Message</title>
<link rel="stylesheet" href="/kel.css">
</head>
<body>
<a class="skip" href="#main">Skip to the message</a>
<main id="main" tabindex="-1">
  <h1 id="message-title">Message</h1>
  <div id="message" class="kel-outcome" role="alert"></div>
  <p id="message-more"></p>
  <ul id="message-ways" class="kel-links"></ul>
  <noscript><p>The portal reported an outcome; its pages need JavaScript to show it. <a href="/">Back to the homepage</a></p></noscript>
</main>
<script src="/kel.js"></script>
<script src="/message.js"></script>
</body>
</html>
