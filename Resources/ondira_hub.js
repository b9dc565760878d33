/*
 * Ondira hub page script.
 *
 * Bridge contract (kept in step with the dispatcher; the self-test compares
 * the two). Every message is a string posted to the "ondira" script-message
 * handler through act().
 *
 * Messages posted, exact words (no payload):
 *   stats_query dict_query hotkey_query mode_query language_query
 *   health_query selftest update_query update_check history_delete_all
 *   dict_export dict_import
 * Messages posted, prefix words (name, colon, payload):
 *   dict_add:{"from","to"}            dict_del:{"from"}
 *   history_query:{"offset","limit"}  history_search:{"query","limit"}
 *   history_export:{"format": json|txt|md}
 *   history_delete_one:{"date","time","text","offset","limit"}
 *   pack_set:{"pack","enabled"}       hotkey_set:<mode word>
 *   mode_set:fast|balanced|polish     language_set:<locale id>|system
 *   perm_open:microphone|speech|accessibility
 *   logging_set:true|false            copy:<percent-encoded text>
 *   open_url:<http(s) URL>            theme_set:aurora|violet|titanium|abyss
 *   rewrite:{"reqId","mode","text","instruction"?}   rewrite_available:
 *   correction_observed:{"heard","written","context","app"}
 *   privacy_probe:
 *   rules_query:  rules_set:{rule}  rules_delete:{"bundleID"}
 *   snippets_query:  snippets_set:{"trigger","expansion"}  snippets_delete:{"trigger"}
 *   profiles_query:  profiles_create:{"name","mode","polishEnabled","autoCapitalizeEnabled","dictionaryEnabled"}
 *   profiles_rename:{"id","name"}  profiles_delete:{"id"}
 *   engine_query:  engine_set:{"useDictationTranscriber"}
 *   update_set_auto:true|false
 *   learned_rules_query:  learned_rules_revoke:{"heard","written"}
 *   staging_query:  staging_edit:{"id","text"}  staging_delete:{"id"}
 *   staging_move:{"id","toIndex"}  staging_commit:{"ids","joiner"}  staging_clear:
 *   personal_model_query:
 *
 * Callbacks defined (window.<name>, one JSON argument unless noted):
 *   ondiraSetStats {total,words,streak,todayWords,hoursSaved,typingWpm,speakingWpm,
 *                   perApp:[{app,n}], chart:[{date,words}], recent:[{time,app,text}]}
 *   ondiraSetDictionary {terms:[{from,to}], packs:[{id,name?,enabled,count?}]}
 *   ondiraSetHotkey "<mode word>"     ondiraHotkeyError "<message>" (or {message})
 *   ondiraSetMode "<mode word>"
 *   ondiraSetLanguages {languages:[{id,name}], selected, systemDefault, followingSystem, onDeviceReady}
 *   ondiraSetHealth {items:[{id,title,ok,detail,fix}], loggingEnabled?, theme?}
 *   ondiraSetSelftest {items:[{id,title,ok,detail,fix}]}
 *   ondiraSetUpdateState {version,state,error,arch,auto,lastChecked (seconds since 1970 or null), downloadURL?}
 *   ondiraSetDictExportResult {ok,path?,error?}   ondiraSetDictImportResult {added,skipped,error}
 *   ondiraSetHistory {entries:[{time,date,app,text,words}],offset,limit,total}
 *   ondiraSetHistorySearchResults {query,entries,matchCount,shown}
 *   ondiraSetExportResult {ok,path?,error?}
 *   ondiraSetCopyAck (no argument)
 *   onRewriteResult {reqId,mode,ms?,ok,text|err}   onRewriteAvailability {available,reason}
 *   onPrivacyProbe {checks:[{id,label,status,detail,stats}],generatedAt}
 *   onRules {rules}  onSnippets {snippets:[{trigger,expansion}]}
 *   onProfiles {profiles}  onProfileResult {ok,error}
 *   onEngineInfo {engines:[{id,label,selectable,sampleCount,avgRealTimeFactor}], selected?}
 *   onLearnedRules {rules:[{heard,written,count?}]}
 *   onStaging {entries:[{id,text,polished}], message?}
 *   onPersonalModel {enabled,attached,lines}
 *
 * Everything a user or a store supplied is rendered with textContent or as an
 * input's value; the page never parses markup from data.
 */
(function () {
  'use strict';

  // ---- bridge ----------------------------------------------------------

  function bridge() {
    try {
      return window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.ondira || null;
    } catch (e) {
      return null;
    }
  }

  // Posts one message. Without the host (the page opened on its own) the
  // message goes nowhere and the page says so once.
  var warnedNoBridge = false;
  function act(message) {
    var handler = bridge();
    if (!handler) {
      if (!warnedNoBridge) {
        warnedNoBridge = true;
        setStatus('Not connected to Ondira — the page shows no data on its own.', true);
      }
      return false;
    }
    try {
      handler.postMessage(String(message));
      return true;
    } catch (e) {
      setStatus('Could not reach Ondira.', true);
      return false;
    }
  }

  function json(value) { return JSON.stringify(value); }

  // ---- small DOM helpers (text only) -------------------------------------

  function $(id) { return document.getElementById(id); }

  function el(tag, props, children) {
    var node = document.createElement(tag);
    if (props) {
      Object.keys(props).forEach(function (key) {
        var value = props[key];
        if (key === 'text') node.textContent = value == null ? '' : String(value);
        else if (key === 'cls') node.className = value;
        else if (key === 'on') Object.keys(value).forEach(function (ev) { node.addEventListener(ev, value[ev]); });
        else if (key === 'attrs') Object.keys(value).forEach(function (a) { node.setAttribute(a, value[a]); });
        else node[key] = value;
      });
    }
    (children || []).forEach(function (child) { if (child) node.appendChild(child); });
    return node;
  }

  function button(label, onClick, extra) {
    var props = { type: 'button', text: label, on: { click: onClick } };
    if (extra) Object.keys(extra).forEach(function (k) { props[k] = extra[k]; });
    return el('button', props);
  }

  function clear(node) { while (node.firstChild) node.removeChild(node.firstChild); }

  function setText(id, value) { var node = $(id); if (node) node.textContent = value == null ? '' : String(value); }

  function str(value) { return typeof value === 'string' ? value : (value == null ? '' : String(value)); }
  function num(value) { var n = Number(value); return isFinite(n) ? n : 0; }
  function list(value, key) {
    if (Array.isArray(value)) return value;
    if (value && Array.isArray(value[key])) return value[key];
    return [];
  }
  function formatInt(n) { return Math.round(num(n)).toLocaleString(); }

  function setStatus(message, bad) {
    var line = $('status-line');
    if (!line) return;
    line.textContent = message || '';
    line.classList.toggle('bad', !!bad);
  }

  // Asks before anything is deleted; resolves with true when the user agreed.
  function confirmThen(message, okLabel, then) {
    var dialog = $('confirm');
    if (!dialog || typeof dialog.showModal !== 'function') {
      if (window.confirm(message)) then();
      return;
    }
    setText('confirm-text', message);
    setText('confirm-ok', okLabel || 'Delete');
    var opener = document.activeElement;
    dialog.returnValue = '';
    dialog.addEventListener('close', function onClose() {
      dialog.removeEventListener('close', onClose);
      if (opener && opener.focus) opener.focus();
      if (dialog.returnValue === 'ok') then();
    });
    dialog.showModal();
    $('confirm-cancel').focus();
  }

  // ---- navigation ------------------------------------------------------

  function showPanel(name) {
    document.querySelectorAll('#nav button').forEach(function (b) {
      if (b.dataset.panel === name) b.setAttribute('aria-current', 'page');
      else b.removeAttribute('aria-current');
    });
    document.querySelectorAll('main > section.panel').forEach(function (s) {
      s.hidden = s.id !== 'panel-' + name;
    });
  }

  function wireNav() {
    var buttons = Array.prototype.slice.call(document.querySelectorAll('#nav button'));
    buttons.forEach(function (b, i) {
      b.addEventListener('click', function () {
        showPanel(b.dataset.panel);
        var heading = document.querySelector('#panel-' + b.dataset.panel + ' h1');
        if (heading) { heading.setAttribute('tabindex', '-1'); heading.focus(); }
      });
      // Arrow keys move between sections, as in any sidebar.
      b.addEventListener('keydown', function (e) {
        var next = null;
        if (e.key === 'ArrowDown') next = buttons[(i + 1) % buttons.length];
        else if (e.key === 'ArrowUp') next = buttons[(i - 1 + buttons.length) % buttons.length];
        else if (e.key === 'Home') next = buttons[0];
        else if (e.key === 'End') next = buttons[buttons.length - 1];
        if (next) { e.preventDefault(); next.focus(); }
      });
    });
  }

  // ---- overview --------------------------------------------------------

  function formatSaved(hours) {
    var h = num(hours);
    if (h <= 0) return '0 min';
    if (h < 1) return Math.max(1, Math.round(h * 60)) + ' min';
    return (h < 10 ? h.toFixed(1) : Math.round(h).toLocaleString()) + ' h';
  }

  function dayKey(d) {
    var m = d.getMonth() + 1, day = d.getDate();
    return d.getFullYear() + '-' + (m < 10 ? '0' : '') + m + '-' + (day < 10 ? '0' : '') + day;
  }

  var SVG = 'http://www.w3.org/2000/svg';
  function svg(tag, attrs, text) {
    var node = document.createElementNS(SVG, tag);
    Object.keys(attrs || {}).forEach(function (a) { node.setAttribute(a, attrs[a]); });
    if (text != null) node.textContent = String(text);
    return node;
  }

  // Thirty days ending today, one bar per day; days without a row are zero.
  function renderChart(rows) {
    var box = $('chart');
    clear(box);
    var byDay = {};
    rows.forEach(function (r) {
      var key = str(r.date || r.day);
      if (key) byDay[key] = (byDay[key] || 0) + num(r.words != null ? r.words : (r.n != null ? r.n : r.count));
    });
    var days = [];
    var today = new Date();
    for (var i = 29; i >= 0; i--) {
      var d = new Date(today.getFullYear(), today.getMonth(), today.getDate() - i);
      var key = dayKey(d);
      days.push({ key: key, words: byDay[key] || 0 });
    }
    var max = days.reduce(function (m, d) { return Math.max(m, d.words); }, 0);
    var total = days.reduce(function (s, d) { return s + d.words; }, 0);
    var W = 600, H = 180, pad = 18, bw = (W - 2 * pad) / 30;
    var root = svg('svg', { viewBox: '0 0 ' + W + ' ' + H, role: 'img',
      'aria-label': formatInt(total) + ' words dictated in the last 30 days' });
    root.appendChild(svg('line', { x1: pad, y1: H - pad, x2: W - pad, y2: H - pad, 'class': 'axis' }));
    days.forEach(function (d, idx) {
      var h = max > 0 ? (H - 2 * pad) * d.words / max : 0;
      var bar = svg('rect', { x: (pad + idx * bw + 1).toFixed(1), y: (H - pad - h).toFixed(1),
        width: Math.max(1, bw - 2).toFixed(1), height: h.toFixed(1), rx: 2, 'class': 'bar' });
      bar.appendChild(svg('title', {}, d.key + ': ' + formatInt(d.words) + ' words'));
      root.appendChild(bar);
    });
    root.appendChild(svg('text', { x: pad, y: H - 4 }, days[0].key));
    root.appendChild(svg('text', { x: W - pad, y: H - 4, 'text-anchor': 'end' }, 'today'));
    if (max > 0) root.appendChild(svg('text', { x: pad, y: 12 }, formatInt(max) + ' words'));
    box.appendChild(root);
  }

  function renderPerApp(rows) {
    var ul = $('per-app');
    clear(ul);
    var sorted = rows.slice().sort(function (a, b) { return num(b.n) - num(a.n); }).slice(0, 8);
    var max = sorted.length ? Math.max(1, num(sorted[0].n)) : 1;
    if (!sorted.length) ul.appendChild(el('li', { cls: 'note', text: 'No dictations yet.' }));
    sorted.forEach(function (r) {
      var meter = el('span', { cls: 'meter' });
      meter.style.width = Math.max(2, Math.round(100 * num(r.n) / max)) + '%';
      ul.appendChild(el('li', {}, [
        el('span', { text: str(r.app) || 'Unknown' }),
        el('span', { attrs: { 'aria-hidden': 'true' } }, [meter]),
        el('span', { text: formatInt(r.n) })
      ]));
    });
  }

  window.ondiraSetStats = function (s) {
    s = s || {};
    setText('stat-total', formatInt(s.total));
    setText('stat-words', formatInt(s.words));
    setText('stat-today', formatInt(s.todayWords) + ' words');
    setText('stat-streak', formatInt(s.streak) + (num(s.streak) === 1 ? ' day' : ' days'));
    setText('stat-saved', formatSaved(s.hoursSaved));
    setText('stat-wpm', 'Time saved counts each dictated word as typed at ' + formatInt(s.typingWpm) +
      ' words per minute against spoken at ' + formatInt(s.speakingWpm) + '.');
    renderChart(list(s.chart));
    renderPerApp(list(s.perApp));
    var ul = $('recent');
    clear(ul);
    var recent = list(s.recent).slice(0, 8);
    if (!recent.length) ul.appendChild(el('li', { cls: 'note', text: 'Your dictations will appear here.' }));
    recent.forEach(function (r) {
      ul.appendChild(el('li', {}, [
        el('div', { cls: 'grow' }, [
          el('div', { cls: 'meta', text: str(r.time) + ' · ' + (str(r.app) || 'Unknown') }),
          el('div', { cls: 'text', text: str(r.text) })
        ]),
        button('Copy', function () { copyText(str(r.text)); }, { attrs: { 'aria-label': 'Copy this dictation' } })
      ]));
    });
  };

  // ---- history ---------------------------------------------------------

  var HISTORY_PAGE = 50;
  var history = { offset: 0, limit: HISTORY_PAGE, total: 0 };
  var searchQuery = '';
  var searchTimer = null;

  function queryHistory(offset) {
    act('history_query:' + json({ offset: Math.max(0, offset), limit: HISTORY_PAGE }));
  }

  function historyRow(entry) {
    var text = str(entry.text);
    var li = el('li', {});
    var body = el('div', { cls: 'grow' }, [
      el('div', { cls: 'meta', text: str(entry.date) + ' ' + str(entry.time) + ' · ' + (str(entry.app) || 'Unknown') +
        (entry.words != null ? ' · ' + formatInt(entry.words) + ' words' : '') }),
      el('div', { cls: 'text', text: text })
    ]);
    var correction = el('form', { cls: 'toolbar', hidden: true });
    var heard = el('input', { type: 'text', required: true, autocomplete: 'off' });
    var written = el('input', { type: 'text', required: true, autocomplete: 'off' });
    heard.setAttribute('aria-label', 'Word as it was heard');
    written.setAttribute('aria-label', 'Word as it should be written');
    correction.appendChild(el('span', { text: 'Heard' }));
    correction.appendChild(heard);
    correction.appendChild(el('span', { text: 'should be' }));
    correction.appendChild(written);
    correction.appendChild(el('button', { type: 'submit', text: 'Teach' }));
    correction.addEventListener('submit', function (e) {
      e.preventDefault();
      var h = heard.value.trim(), w = written.value.trim();
      if (!h || !w) return;
      if (text.toLowerCase().indexOf(h.toLowerCase()) < 0) {
        setStatus('“' + h + '” does not occur in this dictation.', true);
        return;
      }
      act('correction_observed:' + json({ heard: h, written: w, context: text, app: str(entry.app) }));
      correction.hidden = true;
      setStatus('Correction noted; Ondira learns it once it has seen it a few times.');
      act('learned_rules_query:');
    });
    body.appendChild(correction);
    li.appendChild(body);
    li.appendChild(el('div', { cls: 'actions' }, [
      button('Copy', function () { copyText(text); }),
      button('Correct…', function () { correction.hidden = !correction.hidden; if (!correction.hidden) heard.focus(); }),
      button('Delete…', function () {
        confirmThen('Delete this dictation from the history?', 'Delete', function () {
          act('history_delete_one:' + json({ date: str(entry.date), time: str(entry.time), text: text,
            offset: history.offset, limit: HISTORY_PAGE }));
          act('stats_query');
        });
      }, { cls: 'danger' })
    ]));
    return li;
  }

  function renderHistoryRows(entries) {
    var ul = $('history-list');
    clear(ul);
    var fragment = document.createDocumentFragment();
    entries.forEach(function (e) { fragment.appendChild(historyRow(e || {})); });
    ul.appendChild(fragment);
  }

  window.ondiraSetHistory = function (h) {
    h = h || {};
    var entries = list(h.entries, 'entries');
    history.offset = num(h.offset);
    history.limit = Math.max(1, num(h.limit) || HISTORY_PAGE);
    history.total = num(h.total);
    history.count = entries.length;
    if (searchQuery) return;  // a search result is on screen; paging resumes when it is cleared
    renderHistoryRows(entries);
    setText('history-summary', history.total ? formatInt(history.total) + ' dictations' : 'No dictations in the history.');
    updatePager();
  };

  function updatePager() {
    var searching = !!searchQuery;
    var first = history.total ? history.offset + 1 : 0;
    var last = history.offset + (history.count || 0);
    setText('history-page', searching ? '' : (history.total ? first + '–' + last + ' of ' + formatInt(history.total) : ''));
    $('history-prev').disabled = searching || history.offset <= 0;
    $('history-next').disabled = searching || last >= history.total;
  }

  window.ondiraSetHistorySearchResults = function (r) {
    r = r || {};
    if (str(r.query) !== searchQuery) return;  // an answer to an older search
    var entries = list(r.entries, 'entries');
    renderHistoryRows(entries);
    var count = num(r.matchCount);
    setText('history-summary', count === 0 ? 'No dictation matches “' + searchQuery + '”.' :
      formatInt(count) + (count === 1 ? ' match' : ' matches') +
      (num(r.shown || entries.length) < count ? ', showing the newest ' + formatInt(r.shown || entries.length) : ''));
    updatePager();
  };

  function resultText(r, okWord) {
    if (r === true) return okWord;
    if (r === false || r == null) return 'Nothing was saved.';
    if (typeof r === 'string') return r;
    if (r.error) return str(r.error);
    if (r.ok === false) return 'Nothing was saved.';
    return okWord + (r.path ? ': ' + str(r.path) : '');
  }
  function resultBad(r) { return r === false || (r && typeof r === 'object' && (r.ok === false || !!r.error)); }

  window.ondiraSetExportResult = function (r) { setStatus(resultText(r, 'History exported'), resultBad(r)); };

  function wireHistory() {
    $('history-search').addEventListener('input', function () {
      clearTimeout(searchTimer);
      var q = this.value.trim();
      searchTimer = setTimeout(function () {
        searchQuery = q;
        if (q) act('history_search:' + json({ query: q, limit: 200 }));
        else { updatePager(); queryHistory(history.offset); }
      }, 180);
    });
    $('history-prev').addEventListener('click', function () { queryHistory(history.offset - HISTORY_PAGE); });
    $('history-next').addEventListener('click', function () { queryHistory(history.offset + (history.count || HISTORY_PAGE)); });
    $('history-export').addEventListener('click', function () {
      act('history_export:' + json({ format: $('history-export-format').value }));
    });
    $('history-delete-all').addEventListener('click', function () {
      confirmThen('Delete the whole dictation history? This cannot be undone.', 'Delete all', function () {
        act('history_delete_all');
        window.ondiraSetHistory({ entries: [], offset: 0, limit: HISTORY_PAGE, total: 0 });
        act('stats_query');
        queryHistory(0);
      });
    });
  }

  // ---- dictionary and packs ----------------------------------------------

  window.ondiraSetDictionary = function (d) {
    d = d || {};
    var terms = list(d.terms);
    var tbody = $('dict-rows');
    clear(tbody);
    terms.forEach(function (t) {
      var from = str(t.from), to = str(t.to);
      tbody.appendChild(el('tr', {}, [
        el('td', { text: from }),
        el('td', { text: to }),
        el('td', {}, [button('Remove', function () {
          act('dict_del:' + json({ from: from }));
          act('dict_query');
        }, { attrs: { 'aria-label': 'Remove ' + from } })])
      ]));
    });
    $('dict-empty').hidden = terms.length > 0;
    var packs = $('packs');
    clear(packs);
    list(d.packs).forEach(function (p) {
      var id = str(p.id || p.pack || p.name);
      var box = el('input', { type: 'checkbox', checked: !!p.enabled, id: 'pack-' + id });
      box.addEventListener('change', function () {
        act('pack_set:' + json({ pack: id, enabled: box.checked }));
        act('dict_query');
      });
      var label = el('label', { htmlFor: 'pack-' + id, text: str(p.name || id) });
      packs.appendChild(el('li', {}, [box, el('div', { cls: 'grow' }, [label,
        p.count != null ? el('div', { cls: 'meta', text: formatInt(p.count) + ' terms' }) : null])]));
    });
  };

  window.ondiraSetDictExportResult = function (r) { setStatus(resultText(r, 'Dictionary exported'), resultBad(r)); };
  window.ondiraSetDictImportResult = function (r) {
    r = r || {};
    if (r.error) setStatus('Import failed: ' + str(r.error), true);
    else setStatus('Imported ' + formatInt(r.added) + ' new terms; ' + formatInt(r.skipped) + ' skipped.');
    act('dict_query');
  };

  function wireDictionary() {
    $('dict-form').addEventListener('submit', function (e) {
      e.preventDefault();
      var from = $('dict-from').value.trim(), to = $('dict-to').value.trim();
      if (!from || !to) return;
      act('dict_add:' + json({ from: from, to: to }));
      act('dict_query');
      $('dict-from').value = '';
      $('dict-to').value = '';
      $('dict-from').focus();
    });
    $('dict-import').addEventListener('click', function () { act('dict_import'); });
    $('dict-export').addEventListener('click', function () { act('dict_export'); });
  }

  // ---- snippets --------------------------------------------------------

  window.onSnippets = function (s) {
    var rows = list(s, 'snippets');
    var ul = $('snippet-list');
    clear(ul);
    rows.forEach(function (r) {
      var trigger = str(r.trigger), expansion = str(r.expansion);
      ul.appendChild(el('li', {}, [
        el('div', { cls: 'grow' }, [el('div', { cls: 'meta', text: trigger }), el('div', { cls: 'text', text: expansion })]),
        el('div', { cls: 'actions' }, [
          button('Edit', function () {
            $('snippet-trigger').value = trigger;
            $('snippet-expansion').value = expansion;
            $('snippet-trigger').focus();
          }, { attrs: { 'aria-label': 'Edit ' + trigger } }),
          button('Delete…', function () {
            confirmThen('Delete the snippet “' + trigger + '”?', 'Delete', function () {
              act('snippets_delete:' + json({ trigger: trigger }));
            });
          }, { cls: 'danger', attrs: { 'aria-label': 'Delete ' + trigger } })
        ])
      ]));
    });
    $('snippet-empty').hidden = rows.length > 0;
  };

  function wireSnippets() {
    $('snippet-form').addEventListener('submit', function (e) {
      e.preventDefault();
      var trigger = $('snippet-trigger').value.trim(), expansion = $('snippet-expansion').value;
      if (!trigger || !expansion.trim()) return;
      act('snippets_set:' + json({ trigger: trigger, expansion: expansion }));
      $('snippet-trigger').value = '';
      $('snippet-expansion').value = '';
    });
  }

  // ---- rules and profiles ------------------------------------------------

  var profiles = [];

  function profileName(id) {
    for (var i = 0; i < profiles.length; i++) if (profiles[i].id === id) return str(profiles[i].name);
    return id ? str(id) : '—';
  }

  function fillProfileSelect() {
    var select = $('rule-profile');
    var current = select.value;
    clear(select);
    select.appendChild(el('option', { value: '', text: 'None' }));
    profiles.forEach(function (p) { select.appendChild(el('option', { value: str(p.id), text: str(p.name) })); });
    select.value = current;
    if (select.value !== current) select.value = '';
  }

  function yes(v) { return v ? 'Yes' : 'No'; }

  window.onRules = function (r) {
    var rows = list(r, 'rules');
    var tbody = $('rule-rows');
    clear(tbody);
    rows.forEach(function (rule) {
      var bundleID = str(rule.bundleID);
      tbody.appendChild(el('tr', {}, [
        el('td', {}, [el('div', { text: str(rule.displayName) || bundleID }), el('div', { cls: 'meta', text: bundleID })]),
        el('td', { text: yes(rule.polishEnabled) }),
        el('td', { text: yes(rule.autoCapitalizeEnabled) }),
        el('td', { text: yes(rule.dictionaryEnabled) }),
        el('td', { text: yes(rule.neverDictate) }),
        el('td', { text: rule.profileID ? profileName(str(rule.profileID)) : '—' }),
        el('td', {}, [
          button('Edit', function () {
            $('rule-bundle').value = bundleID;
            $('rule-name').value = str(rule.displayName);
            $('rule-polish').checked = !!rule.polishEnabled;
            $('rule-caps').checked = !!rule.autoCapitalizeEnabled;
            $('rule-dict').checked = !!rule.dictionaryEnabled;
            $('rule-never').checked = !!rule.neverDictate;
            $('rule-profile').value = str(rule.profileID);
            $('rule-bundle').focus();
          }, { attrs: { 'aria-label': 'Edit the rule for ' + bundleID } }),
          button(rule.isDefault ? 'Reset' : 'Delete', function () {
            act('rules_delete:' + json({ bundleID: bundleID }));
          }, { attrs: { 'aria-label': (rule.isDefault ? 'Reset the rule for ' : 'Delete the rule for ') + bundleID } })
        ])
      ]));
    });
  };

  window.onProfiles = function (p) {
    profiles = list(p, 'profiles').map(function (x) { return x || {}; });
    fillProfileSelect();
    var ul = $('profile-list');
    clear(ul);
    profiles.forEach(function (profile) {
      var id = str(profile.id);
      var flags = [profile.polishEnabled ? 'polish' : null, profile.autoCapitalizeEnabled ? 'capitalise' : null,
        profile.dictionaryEnabled ? 'dictionary' : null].filter(Boolean).join(', ') || 'no processing';
      var rename = el('form', { cls: 'toolbar', hidden: true });
      var input = el('input', { type: 'text', value: str(profile.name), required: true });
      input.setAttribute('aria-label', 'New name for ' + str(profile.name));
      rename.appendChild(input);
      rename.appendChild(el('button', { type: 'submit', text: 'Rename' }));
      rename.addEventListener('submit', function (e) {
        e.preventDefault();
        act('profiles_rename:' + json({ id: id, name: input.value }));
      });
      ul.appendChild(el('li', {}, [
        el('div', { cls: 'grow' }, [
          el('div', { text: str(profile.name) + (profile.isBuiltIn ? ' (built in)' : '') }),
          el('div', { cls: 'meta', text: str(profile.mode) + ' · ' + flags }),
          rename
        ]),
        el('div', { cls: 'actions' }, [
          button('Rename…', function () { rename.hidden = !rename.hidden; if (!rename.hidden) input.focus(); }),
          profile.isBuiltIn ? null : button('Delete…', function () {
            confirmThen('Delete the profile “' + str(profile.name) + '”?', 'Delete', function () {
              act('profiles_delete:' + json({ id: id }));
            });
          }, { cls: 'danger' })
        ])
      ]));
    });
    act('rules_query:');  // rule rows show profile names
  };

  window.onProfileResult = function (r) {
    r = r || {};
    var node = $('profile-result');
    node.textContent = r.ok ? 'Saved.' : str(r.error || 'Not saved.');
    node.className = r.ok ? 'note' : 'error';
  };

  function wireRules() {
    $('rule-form').addEventListener('submit', function (e) {
      e.preventDefault();
      var bundleID = $('rule-bundle').value.trim();
      if (!bundleID) return;
      var rule = {
        bundleID: bundleID,
        displayName: $('rule-name').value.trim() || bundleID,
        polishEnabled: $('rule-polish').checked,
        autoCapitalizeEnabled: $('rule-caps').checked,
        dictionaryEnabled: $('rule-dict').checked,
        neverDictate: $('rule-never').checked
      };
      if ($('rule-profile').value) rule.profileID = $('rule-profile').value;
      act('rules_set:' + json(rule));
    });
    $('profile-form').addEventListener('submit', function (e) {
      e.preventDefault();
      act('profiles_create:' + json({
        name: $('profile-name').value,
        mode: $('profile-mode').value,
        polishEnabled: $('profile-polish').checked,
        autoCapitalizeEnabled: $('profile-caps').checked,
        dictionaryEnabled: $('profile-dict').checked
      }));
    });
  }

  // ---- staging ---------------------------------------------------------

  var staged = [];
  var stagedSelected = {};

  function stagingRowEl(entry, index, count) {
    var id = str(entry.id);
    var box = el('input', { type: 'checkbox', checked: !!stagedSelected[id] });
    box.setAttribute('aria-label', 'Select staged text ' + (index + 1));
    box.addEventListener('change', function () { stagedSelected[id] = box.checked; });
    var area = el('textarea', { rows: 2, value: str(entry.text) });
    area.setAttribute('aria-label', 'Staged text ' + (index + 1));
    area.addEventListener('change', function () {
      act('staging_edit:' + json({ id: id, text: area.value }));
    });
    return el('li', {}, [
      box,
      el('div', { cls: 'grow' }, [area, el('div', { cls: 'meta', text: entry.polished ? 'Polished' : 'As dictated' })]),
      el('div', { cls: 'actions' }, [
        button('Up', function () { act('staging_move:' + json({ id: id, toIndex: index - 1 })); },
          { disabled: index === 0, attrs: { 'aria-label': 'Move staged text ' + (index + 1) + ' up' } }),
        button('Down', function () { act('staging_move:' + json({ id: id, toIndex: index + 1 })); },
          { disabled: index === count - 1, attrs: { 'aria-label': 'Move staged text ' + (index + 1) + ' down' } }),
        button('Remove', function () { act('staging_delete:' + json({ id: id })); },
          { cls: 'danger', attrs: { 'aria-label': 'Remove staged text ' + (index + 1) } })
      ])
    ]);
  }

  function renderStaging(entries) {
    staged = entries;
    var keep = {};
    entries.forEach(function (e) { if (stagedSelected[str(e.id)]) keep[str(e.id)] = true; });
    stagedSelected = keep;
    var ol = $('staging-list');
    var focusedIndex = -1;
    Array.prototype.forEach.call(ol.children, function (li, i) { if (li.contains(document.activeElement)) focusedIndex = i; });
    clear(ol);
    entries.forEach(function (e, i) { ol.appendChild(stagingRowEl(e || {}, i, entries.length)); });
    $('staging-empty').hidden = entries.length > 0;
    $('staging-commit').disabled = entries.length === 0;
    if (focusedIndex >= 0 && ol.children.length) {
      var row = ol.children[Math.min(focusedIndex, ol.children.length - 1)];
      var target = row.querySelector('textarea');
      if (target) target.focus();
    }
  }

  window.onStaging = function (s) {
    var entries = list(s, 'entries');
    if (!entries.length && s && Array.isArray(s.rows)) entries = s.rows;
    renderStaging(entries);
    var message = s && (s.message || s.error);
    setText('staging-message', message ? str(message) : '');
  };

  function wireStaging() {
    $('staging-select-all').addEventListener('click', function () {
      var all = staged.every(function (e) { return stagedSelected[str(e.id)]; });
      staged.forEach(function (e) { stagedSelected[str(e.id)] = !all; });
      renderStaging(staged);
    });
    $('staging-commit').addEventListener('click', function () {
      var ids = staged.map(function (e) { return str(e.id); }).filter(function (id) { return stagedSelected[id]; });
      if (!ids.length) { setText('staging-message', 'Select the texts to commit first.'); return; }
      act('staging_commit:' + json({ ids: ids, joiner: $('staging-joiner').value }));
    });
    $('staging-clear').addEventListener('click', function () {
      confirmThen('Remove every staged text without typing it?', 'Clear', function () { act('staging_clear:'); });
    });
  }

  // ---- learned corrections ---------------------------------------------

  window.onLearnedRules = function (r) {
    var rows = list(r, 'rules');
    var tbody = $('learned-rows');
    clear(tbody);
    rows.forEach(function (rule) {
      var heard = str(rule.heard), written = str(rule.written);
      tbody.appendChild(el('tr', {}, [
        el('td', { text: heard }),
        el('td', { text: written }),
        el('td', { text: rule.count != null ? formatInt(rule.count) + '×' : '' }),
        el('td', {}, [button('Revoke', function () {
          act('learned_rules_revoke:' + json({ heard: heard, written: written }));
        }, { attrs: { 'aria-label': 'Revoke ' + heard + ' to ' + written } })])
      ]));
    });
    $('learned-empty').hidden = rows.length > 0;
  };

  // ---- rewrite ---------------------------------------------------------

  var rewriteSeq = 0;
  var rewritePending = '';

  window.onRewriteAvailability = function (a) {
    a = a || {};
    var node = $('rewrite-availability');
    node.textContent = a.available ? 'The rewrite helper is ready.' : 'Rewriting is not available: ' + str(a.reason);
    node.className = a.available ? 'note' : 'error';
  };

  window.onRewriteResult = function (r) {
    r = r || {};
    if (str(r.reqId) !== rewritePending) return;  // an answer to an older request
    rewritePending = '';
    document.querySelectorAll('.rewrite-mode').forEach(function (b) { b.disabled = false; });
    if (r.ok) {
      $('rewrite-output').value = str(r.text);
      setText('rewrite-status', 'Done' + (r.ms != null ? ' in ' + formatInt(r.ms) + ' ms' : '') + '.');
    } else {
      setText('rewrite-status', 'Rewrite failed: ' + str(r.err));
    }
  };

  function copyText(text) {
    if (act('copy:' + encodeURIComponent(text))) setStatus('Copying…');
  }
  window.ondiraSetCopyAck = function () { setStatus('Copied to the clipboard.'); };

  function wireRewrite() {
    document.querySelectorAll('.rewrite-mode').forEach(function (b) {
      b.addEventListener('click', function () {
        var text = $('rewrite-input').value;
        if (!text.trim()) { setText('rewrite-status', 'Type or paste the text to rewrite first.'); $('rewrite-input').focus(); return; }
        var request = { reqId: 'r' + (++rewriteSeq), mode: b.dataset.mode, text: text };
        if (b.dataset.mode === 'edit') {
          var instruction = $('rewrite-instruction').value.trim();
          if (!instruction) { setText('rewrite-status', 'Say how to edit the text first.'); $('rewrite-instruction').focus(); return; }
          request.instruction = instruction;
        }
        if (act('rewrite:' + json(request))) {
          rewritePending = request.reqId;
          document.querySelectorAll('.rewrite-mode').forEach(function (x) { x.disabled = true; });
          setText('rewrite-status', 'Rewriting…');
        }
      });
    });
    $('rewrite-copy').addEventListener('click', function () {
      var out = $('rewrite-output').value;
      if (out) copyText(out);
    });
  }

  // ---- settings --------------------------------------------------------

  function selectValue(select, value) {
    var found = Array.prototype.some.call(select.options, function (o) { return o.value === value; });
    if (!found && value) select.appendChild(el('option', { value: value, text: value }));
    select.value = value;
  }

  window.ondiraSetHotkey = function (mode) {
    selectValue($('set-hotkey'), str(mode));
    $('hotkey-error').hidden = true;
  };
  window.ondiraHotkeyError = function (e) {
    var node = $('hotkey-error');
    node.textContent = str(e && typeof e === 'object' ? (e.message || e.error) : e) || 'That hotkey could not be set.';
    node.hidden = false;
    act('hotkey_query');  // the old hotkey stays; show it again
  };
  window.ondiraSetMode = function (mode) { selectValue($('set-mode'), str(mode)); };

  window.ondiraSetLanguages = function (l) {
    l = l || {};
    var select = $('set-language');
    clear(select);
    var systemName = str(l.systemDefault);
    select.appendChild(el('option', { value: 'system', text: 'Follow the system' + (systemName ? ' (' + systemName + ')' : '') }));
    list(l.languages).forEach(function (lang) {
      var id = typeof lang === 'string' ? lang : str(lang.id);
      var name = typeof lang === 'string' ? lang : str(lang.name || lang.id);
      select.appendChild(el('option', { value: id, text: name }));
    });
    selectValue(select, l.followingSystem ? 'system' : str(l.selected));
    setText('language-note', l.onDeviceReady === false ? 'The speech model for this language is not installed.' : '');
  };

  window.onEngineInfo = function (info) {
    var engines = list(info, 'engines');
    var select = $('set-engine');
    clear(select);
    var notes = [];
    engines.forEach(function (e) {
      var option = el('option', { value: str(e.id), text: str(e.label || e.id) });
      option.disabled = e.selectable === false;
      select.appendChild(option);
      if (num(e.sampleCount) > 0) {
        notes.push(str(e.label || e.id) + ': ' + formatInt(e.sampleCount) + ' dictations' +
          (e.avgRealTimeFactor != null ? ', ' + num(e.avgRealTimeFactor).toFixed(1) + '× real time' : ''));
      }
    });
    if (info && info.selected != null) select.value = str(info.selected);
    else if (info && typeof info.useDictationTranscriber === 'boolean') {
      select.value = info.useDictationTranscriber ? 'dictationTranscriber' : (engines[0] ? str(engines[0].id) : '');
    }
    setText('engine-note', notes.join(' · '));
  };

  // ---- updates ---------------------------------------------------------

  var UPDATE_STATE_TEXT = {
    'idle': 'Not checked in this session.',
    'checking': 'Checking for updates…',
    'uptodate': 'Ondira is up to date.',
    'available': 'A newer version is available.',
    'error': 'The last check failed.'
  };
  var updateAuto = null;

  function renderUpdateAuto(value) {
    updateAuto = typeof value === 'boolean' ? value : null;
    var box = $('update-auto');
    box.disabled = updateAuto === null;
    box.indeterminate = updateAuto === null;
    box.checked = updateAuto === true;
  }

  function renderUpdateLastChecked(value) {
    var seconds = typeof value === 'number' ? value : (typeof value === 'string' && value ? Date.parse(value) / 1000 : NaN);
    var text;
    if (!isFinite(seconds) || seconds <= 0) text = 'Last checked: never';
    else text = 'Last checked: ' + new Date(seconds * 1000).toLocaleString();
    setText('update-last-checked', text);
  }

  window.ondiraSetUpdateState = function (u) {
    u = u || {};
    var token = str(u.state);
    var text = Object.prototype.hasOwnProperty.call(UPDATE_STATE_TEXT, token) ? UPDATE_STATE_TEXT[token] : 'Update state: ' + token;
    if (token === 'error' && u.error) text += ' ' + str(u.error);
    setText('updates-status', text);
    setText('updates-version', 'Version ' + str(u.version) + (u.arch ? ' (' + str(u.arch) + ')' : ''));
    $('update-check').disabled = token === 'checking';
    renderUpdateAuto(u.auto);
    renderUpdateLastChecked(u.lastChecked);
    var old = $('update-download');
    if (old) old.remove();
    var url = str(u.downloadURL);
    if (token === 'available' && /^https?:\/\//i.test(url)) {
      $('update-check').parentNode.appendChild(button('Download…', function () { act('open_url:' + url); }, { id: 'update-download' }));
    }
  };

  function wireSettings() {
    $('set-hotkey').addEventListener('change', function () { act('hotkey_set:' + this.value); });
    $('set-mode').addEventListener('change', function () { act('mode_set:' + this.value); });
    $('set-language').addEventListener('change', function () {
      act('language_set:' + this.value);
      act('language_query');
    });
    $('set-theme').addEventListener('change', function () {
      if (this.value) { act('theme_set:' + this.value); setStatus('Indicator theme saved.'); }
    });
    $('set-logging').addEventListener('change', function () { act('logging_set:' + (this.checked ? 'true' : 'false')); });
    $('set-engine').addEventListener('change', function () {
      act('engine_set:' + json({ useDictationTranscriber: this.value === 'dictationTranscriber' }));
    });
    $('update-auto').addEventListener('change', function () {
      var wanted = this.checked;
      renderUpdateAuto(updateAuto);  // the switch moves when the host says it stored the choice
      act('update_set_auto:' + (wanted ? 'true' : 'false'));
    });
    $('update-check').addEventListener('click', function () { act('update_check'); });
    $('help-link').addEventListener('click', function (e) {
      e.preventDefault();
      act('open_url:' + this.href);
    });
  }

  // ---- permissions and health ------------------------------------------

  var PERMISSION_IDS = { microphone: true, speech: true, accessibility: true };

  function renderChecks(ul, items) {
    clear(ul);
    items.forEach(function (item) {
      item = item || {};
      var id = str(item.id);
      var body = el('div', { cls: 'grow' }, [
        el('div', { text: str(item.title || id) }),
        item.detail ? el('div', { cls: 'meta', text: str(item.detail) }) : null,
        !item.ok && item.fix ? el('div', { cls: 'text', text: 'Fix: ' + str(item.fix) }) : null
      ]);
      ul.appendChild(el('li', {}, [
        el('span', { cls: 'state ' + (item.ok ? 'state-pass' : 'state-fail'), text: item.ok ? 'OK' : 'Needs attention' }),
        body,
        !item.ok && PERMISSION_IDS[id] ? button('Open settings', function () { act('perm_open:' + id); }) : null
      ]));
    });
  }

  window.ondiraSetHealth = function (h) {
    h = h || {};
    var items = list(h, 'items');
    renderChecks($('health-list'), items);
    var logging = typeof h.loggingEnabled === 'boolean' ? h.loggingEnabled : null;
    items.forEach(function (i) { if (i && (i.id === 'history_logging' || i.id === 'logging')) logging = !!i.ok; });
    if (logging !== null) $('set-logging').checked = logging;
    if (typeof h.theme === 'string') selectValue($('set-theme'), h.theme);
  };

  window.ondiraSetSelftest = function (s) {
    var items = list(s, 'items');
    $('selftest-heading').hidden = false;
    renderChecks($('selftest-list'), items);
    $('selftest-run').disabled = false;
  };

  function wireHealth() {
    $('health-refresh').addEventListener('click', function () { act('health_query'); });
    $('selftest-run').addEventListener('click', function () {
      if (act('selftest')) this.disabled = true;
    });
  }

  // ---- privacy ---------------------------------------------------------

  var STATUS_WORD = { pass: 'PASS', fail: 'FAIL', unknown: 'UNKNOWN' };

  // The badge summarises the outbound-host check of the same reply: what the
  // program found in its own executable, never a fixed claim.
  function renderEgressBadge(checks) {
    var badge = $('privacy-egress-badge');
    var hosts = null;
    checks.forEach(function (c) { if (c && c.id === 'outbound_hosts') hosts = c; });
    var status = hosts ? str(hosts.status) : 'unknown';
    var stats = (hosts && hosts.stats) || {};
    var text;
    if (!hosts) text = 'Outbound hosts not reported';
    else if (status === 'pass') text = formatInt(stats.allowListedCount) + ' of ' + formatInt(stats.hostLiteralsFound) +
      ' embedded hosts on the allow list';
    else if (status === 'fail') text = 'Unlisted hosts: ' + list(stats.unknownHosts).map(str).join(', ');
    else text = 'Outbound hosts not verified';
    badge.textContent = text;
    badge.className = 'badge ' + (STATUS_WORD[status] ? status : 'unknown');
  }

  function renderPrivacyProbe(payload) {
    var checks = list(payload, 'checks');
    renderEgressBadge(checks);
    var ul = $('privacy-list');
    clear(ul);
    checks.forEach(function (chk) {
      chk = chk || {};
      var status = str(chk.status);
      var detail = el('div', { cls: 'text' });
      detail.textContent = chk.detail;
      var stats = el('ul', { cls: 'stats' });
      var s = chk.stats && typeof chk.stats === 'object' ? chk.stats : {};
      Object.keys(s).sort().forEach(function (key) {
        var value = s[key];
        stats.appendChild(el('li', { text: key + ': ' + (Array.isArray(value) ? value.map(str).join(', ') || '(none)' : str(value)) }));
      });
      ul.appendChild(el('li', {}, [
        el('span', { cls: 'state state-' + (STATUS_WORD[status] ? status : 'unknown'), text: STATUS_WORD[status] || status }),
        el('div', { cls: 'grow' }, [el('div', { text: str(chk.label || chk.id) }), detail, stats])
      ]));
    });
    var at = num(payload && payload.generatedAt);
    setText('privacy-generated', at > 0 ? 'Measured ' + new Date(at * 1000).toLocaleString() : '');
    $('privacy-run').disabled = false;
  }
  window.onPrivacyProbe = renderPrivacyProbe;

  // ---- personal model --------------------------------------------------

  // The body is the program's own status lines, as the command line prints them.
  function renderPersonalModel(p) {
    p = p || {};
    var lines = list(p.lines).map(str);
    var badge = $('personal-model-badge');
    if (p.attached === true) { badge.textContent = 'Attached to recognition'; badge.className = 'badge pass'; }
    else if (p.enabled === false) { badge.textContent = 'Off'; badge.className = 'badge unknown'; }
    else { badge.textContent = 'Not attached'; badge.className = 'badge fail'; }
    $('personal-model-lines').textContent = lines.join('\n');
  }
  window.onPersonalModel = renderPersonalModel;

  // ---- start -----------------------------------------------------------

  function start() {
    wireNav();
    wireHistory();
    wireDictionary();
    wireSnippets();
    wireRules();
    wireStaging();
    wireRewrite();
    wireSettings();
    wireHealth();
    $('privacy-run').addEventListener('click', function () { if (act('privacy_probe:')) this.disabled = true; });
    $('personal-model-refresh').addEventListener('click', function () { act('personal_model_query:'); });
    renderUpdateAuto(null);
    renderUpdateLastChecked(null);

    // Every panel is filled from the host's answers to these queries.
    act('stats_query');
    queryHistory(0);
    act('dict_query');
    act('hotkey_query');
    act('mode_query');
    act('language_query');
    act('health_query');
    act('update_query');
    act('rewrite_available:');
    act('privacy_probe:');
    act('rules_query:');
    act('snippets_query:');
    act('profiles_query:');
    act('engine_query:');
    act('learned_rules_query:');
    act('staging_query:');
    act('personal_model_query:');
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else start();
})();
