// The recordings and photos view: "media.json" (the server's list of the
// recording and photo folders that lie inside the web root) shown as a table
// of recordings, newest first, and a list of photos; a click plays the
// recording in the page's video element, which fetches it by byte ranges as
// it plays and seeks, or shows the photo. Shown while the address ends with
// "#media"; the list is read again each time the view is opened (its tab
// clicked, also when the view is already shown), so a recording finished
// meanwhile no longer shows as being recorded.
(function () {
  "use strict";
  var live_view = document.getElementById("live_view");
  var media_view = document.getElementById("media_view");
  var player = document.getElementById("player");
  var photo = document.getElementById("photo");
  var state = document.getElementById("media_state");
  var recordings = document.querySelector("#recordings tbody");
  var photos = document.getElementById("photos");

  // The page's folder without the user name and password an address may
  // hold: a request cannot be made from an address with them.
  function page_folder() {
    return location.protocol + "//" + location.host + location.pathname.replace(/[^\/]*$/, "");
  }

  // A folder of the list and a file name as an address below the page's
  // folder, each part escaped (recording names hold blanks and brackets).
  function address(folder, name) {
    return page_folder() + (folder + name).split("/").map(encodeURIComponent).join("/");
  }

  // "2026-01-31 12-00-00 (UTC).mp4" is when the recording began; a name of
  // another form falls back to the file's modification time.
  function start_ms(file) {
    var m = /^(\d{4})-(\d\d)-(\d\d) (\d\d)-(\d\d)-(\d\d) \(UTC\)/.exec(file.name);
    return m ? Date.UTC(+m[1], m[2] - 1, +m[3], +m[4], +m[5], +m[6]) : file.time * 1000;
  }

  function start_of(file) {
    return new Date(start_ms(file)).toLocaleString();
  }

  // A recording lasts from the start its name gives to its last write.
  function length_of(file) {
    var s = Math.max(0, Math.round(file.time - start_ms(file) / 1000));
    var h = Math.floor(s / 3600), m = Math.floor(s / 60) % 60;
    var pad = function (n) { return (n < 10 ? "0" : "") + n; };
    return (h ? h + ":" + pad(m) : m) + ":" + pad(s % 60);
  }

  function size_text(bytes) {
    var units = ["B", "KB", "MB", "GB", "TB"];
    var unit = 0;
    while (bytes >= 1024 && unit < units.length - 1) {
      bytes /= 1024;
      unit++;
    }
    return (unit ? bytes.toFixed(1) : bytes) + " " + units[unit];
  }

  // Text goes in as text, never as markup: names are the file system's.
  function cell(row, text) {
    var td = document.createElement("td");
    td.textContent = text;
    row.appendChild(td);
    return td;
  }

  var playing = "";  // the address of the recording in the player

  function mark_playing() {
    Array.prototype.forEach.call(recordings.rows, function (row) {
      row.className = row.dataset.url === playing ? "playing" : "";
    });
  }

  function play(url) {
    playing = url;
    mark_playing();
    photo.hidden = true;
    player.hidden = false;
    player.src = url;
    // Recordings carry no sound: muted, they may start without a gesture.
    player.muted = true;
    player.play().catch(function () {});
  }

  function view(url) {
    playing = "";
    mark_playing();
    player.pause();
    player.hidden = true;
    photo.hidden = false;
    photo.src = url;
  }

  function link(text, url, open) {
    var a = document.createElement("a");
    a.textContent = text;
    a.href = url;
    a.addEventListener("click", function (event) {
      event.preventDefault();
      open(url);
    });
    return a;
  }

  function show_recordings(list) {
    recordings.textContent = "";
    if (!list)
      return;
    if (!list.files.length)
      cell(recordings.insertRow(), "No recordings yet.").className = "empty";
    list.files.forEach(function (file) {
      var row = document.createElement("tr");
      var url = address(list.folder, file.name);
      row.dataset.url = url;
      cell(row, "").appendChild(link(start_of(file), url, play));
      cell(row, length_of(file));
      cell(row, size_text(file.size));
      // A file being written ends where its last fragment went.
      var mark = cell(row, file.writing ? "being recorded, up to " +
                      new Date(file.time * 1000).toLocaleTimeString() : "");
      mark.className = file.writing ? "writing" : "";
      recordings.appendChild(row);
    });
    mark_playing();
  }

  function show_photos(list) {
    photos.textContent = "";
    if (!list)
      return;
    if (!list.files.length) {
      var none = document.createElement("li");
      none.textContent = "No photos yet.";
      none.className = "empty";
      photos.appendChild(none);
    }
    list.files.forEach(function (file) {
      var item = document.createElement("li");
      var url = address(list.folder, file.name);
      item.appendChild(link(start_of(file) + " (" + size_text(file.size) + ")", url, view));
      photos.appendChild(item);
    });
  }

  function load() {
    state.textContent = "Reading the list...";
    fetch(page_folder() + "media.json", {cache: "no-store", credentials: "same-origin"})
      .then(function (response) {
        if (!response.ok)
          throw new Error("status " + response.status);
        return response.json();
      })
      .then(function (index) {
        show_recordings(index.recordings);
        show_photos(index.photos);
        var notes = [];
        if (!index.recordings)
          notes.push("Recordings are kept outside the web folder.");
        if (!index.photos)
          notes.push("Photos are kept outside the web folder.");
        if (!index.complete)
          notes.push("Only the newest files are listed.");
        state.textContent = notes.join(" ");
      }, function (error) {
        state.textContent = "The list could not be read (" + error.message + ").";
      });
  }

  function follow_address() {
    var media = location.hash === "#media";
    live_view.hidden = media;
    media_view.hidden = !media;
    if (media)
      load();
    else
      player.pause();
  }

  // The tab of the view already shown changes no address: read the list again.
  document.getElementById("media_tab").addEventListener("click", function () {
    if (location.hash === "#media")
      load();
  });
  window.addEventListener("hashchange", follow_address);
  follow_address();
})();
