// The portal's own entries come first; the legacy agents' log joins them
// for administrators when there is one.
if (kelconfigauth) {
  chpAddItem("QX Kel Portal", "Settings", "/Proxy/configui");
  if (orvlog) chpAddItem("QX Kel Portal", "Legacy agents' log", "/proxy/kelui/getkellog?text&orvlog");
}
