// A settings path (/Proxy/configui sends "?chppath=settings::...") opens the
// settings page before anything else loads.
if (/[?&]chppath=settings/i.test(window.location.search)) window.location.replace("/settings.html");
