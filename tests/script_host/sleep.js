// Sleep returns after waiting (at least about) the given time; it accepts
// numbers as text and treats zero and negative values as no wait.
WScript.Sleep(0);
WScript.Sleep(-5);
WScript.Sleep("5");
var start = new Date().getTime();
WScript.Sleep(50);
var elapsed = new Date().getTime() - start;
// Only a lower bound, with room for the clock's granularity.
WScript.Echo(elapsed >= 30 ? "waited" : "returned early after " + elapsed + " ms");
