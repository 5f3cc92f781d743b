// The camera's state where the picture would be: "healthz" is asked every
// few seconds; while it answers 503 its one line (why there is no good
// picture: no camera, a frozen stream, a stalled recording) replaces the
// picture, and the picture comes back with the first 200.
(function () {
  "use strict";
  var box = document.getElementById("box");
  var line = document.getElementById("health");
  var every_ms = 3000;

  function folder() {
    return location.protocol + "//" + location.host + location.pathname.replace(/[^\/]*$/, "");
  }

  function show(down, text) {
    box.classList.toggle("down", down);
    line.hidden = !down;
    line.textContent = down ? "Camera: " + text : "";
  }

  function ask() {
    if (location.hash === "#media" || !window.fetch) {
      setTimeout(ask, every_ms);
      return;
    }
    fetch(folder() + "healthz", {cache: "no-store", credentials: "same-origin"})
      .then(function (response) {
        return response.text().then(function (text) {
          if (response.status === 503)
            show(true, text.trim());
          else if (response.ok)
            show(false, "");
        });
      }, function () {
        show(true, "the web server does not answer");
      })
      .then(function () { setTimeout(ask, every_ms); });
  }
  ask();
})();
