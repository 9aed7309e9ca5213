// Keeps the page's bench live: the view sends the page's body, drawn on
// the server, whenever the bench changes, and this swaps it in. The
// browser reconnects by itself when the view restarts; when it gives up
// (the view refused it, or went away for good), it is started again.
'use strict';
(function () {
  const bench = document.getElementById('bench');
  const lost = document.getElementById('connection');
  function listen() {
    const events = new EventSource('events');
    events.addEventListener('bench', function (e) {
      bench.innerHTML = JSON.parse(e.data);
      lost.hidden = true;
    });
    events.addEventListener('open', function () {
      lost.hidden = true;
    });
    events.addEventListener('error', function () {
      lost.hidden = false;
      if (events.readyState === EventSource.CLOSED)
        setTimeout(listen, 1000);
    });
  }
  listen();
})();
