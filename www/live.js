// The live picture. First choice: the camera's own video, "preview.mp4",
// played through Media Source Extensions from a streaming fetch, its buffer
// kept short and its play position kept near the live edge, so that the
// delay does not grow however long the page stays open. Where the browser
// cannot play the codec (or has no Media Source), and while there is no
// camera video: "preview.mjpeg" read part by part at the size of the
// picture box, opened again whenever it ends (a camera restart or a server
// restart closes streams); while no stream can be had, "preview.jpg" is
// shown instead and refreshed until the stream is back.
(function () {
  "use strict";
  var box = document.getElementById("box");
  var picture = document.getElementById("picture");
  var video = document.getElementById("video");
  var state = document.getElementById("state");
  var info = document.getElementById("info");
  var Source = window.MediaSource || window.ManagedMediaSource;
  var edge_s = 0.15;          // wanted distance to the live edge
  var jump_s = 1.5;           // farther behind than this: jump, not hurry
  var keep_s = 6;             // buffered video kept behind the play position
  var reopen_ms = 1000;       // after a stream ended
  var retry_ms = 5000;        // after a stream could not be opened
  var still_ms = 2000;        // refresh of the still picture meanwhile
  var generation = 0;         // numbers each opening; an older stream's parts are dropped
  var controller = null;      // aborts the running stream
  var still_timer = null;     // refreshes the still picture
  var opened_size = "";       // the box size the running stream was asked for

  // The folder of this page, without any user name and password in the
  // address: a request cannot be made from an address that holds them, and
  // the browser sends the credentials it was given for the page by itself.
  function folder() {
    return location.protocol + "//" + location.host + location.pathname.replace(/[^\/]*$/, "");
  }

  function box_size() {
    var w = Math.max(8, Math.floor(box.clientWidth));
    var h = Math.max(8, Math.floor(box.clientHeight));
    return "w=" + w + "&h=" + h + "&is_browser_w_h=true";
  }

  function show(bytes) {
    var old = picture.src;
    picture.src = URL.createObjectURL(new Blob([bytes], {type: "image/jpeg"}));
    if (old.indexOf("blob:") === 0)
      URL.revokeObjectURL(old);
  }

  function index_of(buffer, from, pattern) {
    for (var i = from; i + pattern.length <= buffer.length; i++) {
      var j = 0;
      while (j < pattern.length && buffer[i + j] === pattern.charCodeAt(j))
        j++;
      if (j === pattern.length)
        return i;
    }
    return -1;
  }

  // Each part: the delimiter line and the part's header lines up to an empty
  // line, then Content-Length bytes of JPEG.
  function read_parts(reader, mine) {
    var buffer = new Uint8Array(0);
    function next() {
      return reader.read().then(function (chunk) {
        if (chunk.done || mine !== generation)
          return;
        var joined = new Uint8Array(buffer.length + chunk.value.length);
        joined.set(buffer);
        joined.set(chunk.value, buffer.length);
        buffer = joined;
        for (;;) {
          var end = index_of(buffer, 0, "\r\n\r\n");
          if (end < 0)
            break;
          var head = String.fromCharCode.apply(null, buffer.subarray(0, end));
          var length = /Content-Length:\s*(\d+)/i.exec(head);
          if (!length)
            throw new Error("part without length");
          var start = end + 4;
          var stop = start + parseInt(length[1], 10);
          if (buffer.length < stop)
            break;
          show(buffer.slice(start, stop));
          state.textContent = "";
          buffer = buffer.slice(stop);
        }
        return next();
      });
    }
    return next();
  }

  function stop_still() {
    if (still_timer !== null)
      clearInterval(still_timer);
    still_timer = null;
  }

  function show_still() {
    if (still_timer !== null)
      return;
    state.textContent = "Still picture:";
    picture.alt = "The live picture is not available right now";
    var load = function () {
      picture.src = folder() + "preview.jpg?" + box_size() + "&t=" + Date.now();
    };
    load();
    still_timer = setInterval(load, still_ms);
  }

  function show_video(on) {
    video.hidden = !on;
    picture.hidden = on;
    if (!on) {
      video.removeAttribute("src");
      info.textContent = "";
    }
  }

  function codec_name(codec) {
    if (/^avc1/.test(codec))
      return "H.264";
    if (/^(hvc1|hev1)/.test(codec))
      return "H.265";
    return codec;
  }

  // Keeps the play position a little behind the newest video and the
  // buffer short: jumps when far behind, plays a little faster when near.
  function follow_edge(buffer) {
    var ranges = video.buffered;
    if (!ranges.length)
      return;
    var end = ranges.end(ranges.length - 1);
    var behind = end - video.currentTime;
    if (behind > jump_s || video.currentTime < ranges.start(ranges.length - 1))
      video.currentTime = Math.max(end - edge_s, ranges.start(ranges.length - 1));
    else
      video.playbackRate = behind > edge_s + 0.2 ? 1.1 : 1;
    if (video.paused)
      video.play().catch(function () {});
    if (!buffer.updating && ranges.start(0) < video.currentTime - 2 * keep_s)
      buffer.remove(0, video.currentTime - keep_s);
  }

  // Feeds the response's bytes to a source buffer, one append at a time.
  function play_mp4(response, type, mine) {
    var source = new Source();
    var reader = response.body.getReader();
    var waiting = [];
    video.disableRemotePlayback = true;  // a managed source wants it
    video.src = URL.createObjectURL(source);
    show_video(true);
    stop_still();
    info.textContent = codec_name(type.replace(/.*codecs="([^"]*)".*/, "$1"));
    return new Promise(function (resolve, reject) {
      source.addEventListener("sourceopen", function () {
        var buffer;
        try {
          buffer = source.addSourceBuffer(type);
        } catch (e) {
          reject(e);
          return;
        }
        var timer = setInterval(function () {
          if (mine !== generation) {
            clearInterval(timer);
            return;
          }
          follow_edge(buffer);
        }, 250);
        function feed() {
          if (buffer.updating || !waiting.length)
            return;
          try {
            buffer.appendBuffer(waiting.shift());
          } catch (e) {
            clearInterval(timer);
            reject(e);
          }
        }
        buffer.addEventListener("updateend", feed);
        function next() {
          return reader.read().then(function (chunk) {
            if (mine !== generation || chunk.done) {
              clearInterval(timer);
              resolve();
              return;
            }
            waiting.push(chunk.value);
            feed();
            return next();
          });
        }
        next().catch(function (e) {
          clearInterval(timer);
          reject(e);
        });
      }, {once: true});
    });
  }

  video.addEventListener("resize", function () {
    if (!video.hidden && video.videoWidth)
      info.textContent = info.textContent.replace(/ .*/, "") + " " + video.videoWidth + " \u00d7 " + video.videoHeight;
  });

  // The camera's own video when the browser can play it; else (and when
  // there is no camera video) the MJPEG stream.
  function open_live() {
    var mine = ++generation;
    if (controller)
      controller.abort();
    if (!Source || !window.fetch || !window.AbortController) {
      open_stream();
      return;
    }
    controller = new AbortController();
    fetch(folder() + "preview.mp4", {cache: "no-store", credentials: "same-origin", signal: controller.signal})
      .then(function (response) {
        var type = response.headers.get("Content-Type") || "";
        if (!response.ok || !response.body || !Source.isTypeSupported(type)) {
          if (mine === generation)
            open_stream();
          return "mjpeg";
        }
        return play_mp4(response, type, mine);
      })
      .then(function (how) {
        if (how !== "mjpeg" && mine === generation)
          setTimeout(open_live, reopen_ms);
      }, function () {
        if (mine !== generation)
          return;
        show_video(false);
        open_stream();
      });
  }

  function open_stream() {
    var mine = ++generation;
    if (controller)
      controller.abort();
    show_video(false);
    opened_size = box_size();
    var url = folder() + "preview.mjpeg?" + opened_size;
    if (!window.fetch || !window.ReadableStream || !window.AbortController) {
      picture.src = url;
      return;
    }
    controller = new AbortController();
    fetch(url, {cache: "no-store", credentials: "same-origin", signal: controller.signal})
      .then(function (response) {
        if (!response.ok || !response.body)
          throw new Error("status " + response.status);
        stop_still();
        return read_parts(response.body.getReader(), mine);
      })
      .then(function () {
        if (mine === generation)
          setTimeout(open_live, reopen_ms);
      }, function () {
        if (mine !== generation)
          return;
        show_still();
        setTimeout(open_live, retry_ms);
      });
  }

  // A new size for the box (the window, or the page's layout, changed) asks
  // for a stream of the new size once the resizing has settled.
  var resize_timer = null;
  function box_resized() {
    clearTimeout(resize_timer);
    resize_timer = setTimeout(function () {
      if (location.hash !== "#media" && video.hidden && box_size() !== opened_size)
        open_stream();
    }, 500);
  }
  if (window.ResizeObserver)
    new ResizeObserver(box_resized).observe(box);
  else
    window.addEventListener("resize", box_resized);

  // The recordings view hides the picture: its stream is not kept open.
  function follow_address() {
    if (location.hash !== "#media") {
      open_live();
      return;
    }
    generation++;
    if (controller)
      controller.abort();
    controller = null;
    stop_still();
    show_video(false);
  }
  window.addEventListener("hashchange", follow_address);
  follow_address();
})();
