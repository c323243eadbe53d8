// The portal's own entries come first; the legacy agents' log joins them
// for administrators when there is one.
if (kelconfigauth) {
  chpAddItem("QX Kel Portal", "Settings", "/Proxy/configui");
  chpAddItem("QX Kel Portal", "Certificates", "/certificates.html");
  chpAddItem("QX Kel Portal", "Log", "/log.html");
  if (orvlog) chpAddItem("QX Kel Portal", "Legacy agents' log", "/log.html#orvlog");
}
chpAddItem("QX Kel Portal", "Help", "/help?topic=home");
