'use strict';
// The trip page's player: plays the trip's finished segments one after another with their
// subtitles, and moves the marker on the route and the cursor on the speed drawing with it.
(function () {
  const player = document.getElementById('player');
  if (!player) return;
  const marker = document.getElementById('marker');
  const cursor = document.getElementById('cursor');
  const speed = document.getElementById('speed');
  const nowPlaying = document.getElementById('now-playing');
  const cueText = document.getElementById('cue');
  let segments = [];  // every segment of the trip, as the server lists them
  let playlist = [];  // indexes into segments of those that can be played
  let points = [];
  let current = -1;   // index into playlist

  function segmentOf(position) {
    return segments[playlist[position]];
  }

  function showCue(track) {
    const cues = track.activeCues;
    cueText.textContent = cues && cues.length ? cues[0].text : '';
  }

  function watchSubtitles() {
    const element = player.querySelector('track');
    if (!element) {
      cueText.textContent = '';
      return;
    }
    element.track.mode = 'showing';
    element.addEventListener('cuechange', () => showCue(element.track));
  }

  function label() {
    const seg = segmentOf(current);
    nowPlaying.textContent = 'Segment ' + (current + 1) + ' of ' + playlist.length + ' · ' + seg.name;
    for (const row of document.querySelectorAll('#segments tr[data-segment]')) {
      row.classList.toggle('playing', row.dataset.segment === seg.name);
    }
  }

  function play(position, start) {
    current = position;
    const seg = segmentOf(position);
    for (const old of player.querySelectorAll('track')) old.remove();
    player.src = seg.video;
    if (seg.subtitles) {
      const track = document.createElement('track');
      track.kind = 'subtitles';
      track.label = 'Position';
      track.srclang = 'en';
      track.default = true;
      track.src = seg.subtitles;
      player.appendChild(track);
    }
    watchSubtitles();
    label();
    if (start) player.play().catch(() => {});
  }

  // The position of the subtitle entry being shown: each entry covers one second.
  function follow() {
    if (current < 0) return;
    const segIndex = playlist[current];
    const t = player.currentTime;
    let found = null;
    for (const p of points) {
      if (p.segment === segIndex && p.t <= t && t < p.t + 1) {
        found = p;
        break;
      }
    }
    if (marker) {
      marker.classList.toggle('hidden', !found);
      if (found) {
        marker.setAttribute('cx', found.x);
        marker.setAttribute('cy', found.y);
      }
    }
    if (cursor && speed) {
      const x0 = parseFloat(speed.dataset.x0);
      const width = parseFloat(speed.dataset.width);
      const seconds = parseFloat(speed.dataset.seconds);
      const x = x0 + Math.min(1, (segments[segIndex].offset + t) / seconds) * width;
      cursor.setAttribute('x1', x);
      cursor.setAttribute('x2', x);
    }
  }

  player.addEventListener('timeupdate', follow);
  player.addEventListener('seeked', follow);
  player.addEventListener('ended', () => {
    if (current + 1 < playlist.length) play(current + 1, true);
  });
  player.addEventListener('error', () => {
    const err = player.error;
    nowPlaying.textContent = 'This segment cannot be played' + (err ? ' (media error ' + err.code + ')' : '') + '.';
  });

  fetch('/api/trips/' + encodeURIComponent(document.body.dataset.trip))
    .then((response) => {
      if (!response.ok) throw new Error('HTTP ' + response.status);
      return response.json();
    })
    .then((trip) => {
      segments = trip.segments;
      points = trip.points;
      playlist = [];
      segments.forEach((seg, i) => {
        if (seg.video) playlist.push(i);
      });
      if (!playlist.length) return;  // every segment closed since the page was made is gone
      // The page starts with the first finished segment already in the player.
      current = 0;
      watchSubtitles();
      label();
      follow();
      for (const row of document.querySelectorAll('#segments tr[data-segment]')) {
        const position = playlist.findIndex((i) => segments[i].name === row.dataset.segment);
        if (position < 0) continue;
        row.classList.add('playable');
        row.addEventListener('click', (event) => {
          if (event.target.closest('a')) return;  // a download link
          play(position, true);
        });
      }
    })
    .catch((err) => {
      nowPlaying.textContent = 'The trip could not be loaded: ' + err.message;
    });
})();
