function FindProxyForURL(url, host) {
  if (shExpMatch(host, "*.direct.example")) return "DIRECT";
  if (host == "127.0.0.1") return "PROXY %PROXY%; DIRECT";
  return "DIRECT";
}
