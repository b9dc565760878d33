// The indicator's recording page is frozen: the standard-mode page must stay
// exactly as pinned here, and only raw mode may add its label.
#include "SelfTest/HotkeyModeIndicatorPageCases.h"

#include "Platform/Unicode.h"
#include "UI/IndicatorPages.h"

namespace {
// What rec() returns for theme titanium in standard mode.
const char* const kPinnedStandardPage = R"PINNED(<!doctype html><html><head><meta charset="utf-8"><style>
*{margin:0;padding:0;box-sizing:border-box}
html,body{width:132px;height:36px;background:transparent;overflow:hidden;-webkit-user-select:none;user-select:none}
.pill{position:absolute;inset:0;display:flex;align-items:center;justify-content:center;border-radius:18px;border:1px solid rgba(255,255,255,0.16);background:rgba(12,12,14,0.90);animation:enter 280ms cubic-bezier(0.2,0.7,0.3,1) 1}
@keyframes enter{from{opacity:0;transform:scale(0.9)}to{opacity:1;transform:scale(1)}}
@media (prefers-reduced-motion: reduce){.pill{animation:none}}
canvas{display:block;width:120px;height:26px}
</style></head><body><div class="pill"><canvas id="cv" width="264" height="72"></canvas></div>
<script>var ACCENT = "#ffffff";
var W = 264, H = 72, cy = H / 2, N = 11;
var cur = 0.10, t = 0;
var REDUCED = window.matchMedia && window.matchMedia('(prefers-reduced-motion: reduce)').matches;
var cv = document.getElementById('cv'), ctx = cv.getContext('2d');
window.setLevel = function (v) {
  var target = Math.max(0.05, Math.min(1, v));
  var k = target > cur ? 0.55 : 0.12;
  cur += (target - cur) * k;
};
function bar(x, y, w, h, r) {
  ctx.beginPath();
  ctx.moveTo(x + r, y);
  ctx.arcTo(x + w, y, x + w, y + h, r);
  ctx.arcTo(x + w, y + h, x, y + h, r);
  ctx.arcTo(x, y + h, x, y, r);
  ctx.arcTo(x, y, x + w, y, r);
  ctx.closePath();
  ctx.fill();
}
function draw() {
  t += 0.045;
  ctx.clearRect(0, 0, W, H);
  ctx.fillStyle = ACCENT;
  var g = W / N, half = (N - 1) / 2;
  for (var i = 0; i < N; i++) {
    var d = 1 - Math.abs(i - half) / half;
    var amp = cur * Math.sin((i + 0.5) / N * Math.PI) * (0.68 + 0.32 * Math.abs(Math.sin(1.35 * i + 5 * t)));
    var h = Math.max(5, 44 * amp);
    var bw = g * (0.22 + 0.34 * d);
    var x = i * g + (g - bw) / 2;
    var r = Math.min(bw / 2.4, h / 2);
    bar(x, cy - h / 2, bw, h, r);
  }
  if (!REDUCED) window.requestAnimationFrame(draw);
}
draw();
if (REDUCED) { cur = 0.5; draw(); }
</script></body></html>
)PINNED";
}  // namespace

std::vector<SelfTestCase> HotkeyModeIndicatorPageCases() {
    return {
        {"standard mode's rec() HTML is byte-for-byte unchanged from before Task 2",
         "the standard recording page is frozen: any change to its markup, styles or script would change what "
         "every user sees while dictating",
         [] {
             const std::string got = IndicatorPages::rec(IndicatorTheme::titanium, false);
             const std::string want = kPinnedStandardPage;
             if (got == want) return SelfTestOutcome::pass();
             return SelfTestOutcome::fail("standard-mode HUD HTML changed — got " +
                                          std::to_string(platform::text::graphemeCount(got)) + " chars, want " +
                                          std::to_string(platform::text::graphemeCount(want)));
         }},
        {"raw mode adds a visible 'raw' label; standard mode never does",
         "if the raw badge were dropped, or shown in standard mode, the user could not tell which kind of "
         "dictation is recording",
         [] {
             const bool raw = IndicatorPages::rec(IndicatorTheme::titanium, true).find(">raw<") != std::string::npos;
             const bool standard = IndicatorPages::rec(IndicatorTheme::titanium, false).find(">raw<") != std::string::npos;
             if (raw && !standard) return SelfTestOutcome::pass();
             return SelfTestOutcome::fail(
                 std::string("expected raw to contain the label and standard not to; raw contains=") +
                 (raw ? "true" : "false") + " standard contains=" + (standard ? "true" : "false"));
         }},
    };
}
