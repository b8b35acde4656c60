#include "tools/waveforms/catalogue.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

namespace waveforms {

const std::vector<WaveformSpec>& catalogue() {
    // name, kind, shape, glide, intended seconds, band low and high (Hz),
    // fixed sample count (0: from the intended length).
    static const std::vector<WaveformSpec> specs = {
        {"Air/pressure-medium-1.csv", Kind::Noise, Shape::Swell, Glide::None, 0, 68, 368, 19385},
        {"Air/pressure-medium-2.csv", Kind::Noise, Shape::Swell, Glide::None, 2.6, 64, 352, 0},
        {"Air/pressure-medium-3.csv", Kind::Noise, Shape::Swell, Glide::None, 2.9, 72, 380, 0},
        {"Air/vapor.csv", Kind::Noise, Shape::Steady, Glide::None, 0, 47, 70, 64421},
        {"Air/whoosh-1.csv", Kind::Noise, Shape::Swell, Glide::None, 1.2, 60, 300, 0},
        {"Air/whoosh-2.csv", Kind::Noise, Shape::Swell, Glide::None, 1.0, 55, 280, 0},
        {"Air/whoosh-3.csv", Kind::Noise, Shape::Swell, Glide::None, 1.5, 50, 260, 0},
        {"Air/wind-1.csv", Kind::Noise, Shape::Steady, Glide::None, 24.0, 60, 240, 0},
        {"Air/wind-2.csv", Kind::Noise, Shape::Steady, Glide::None, 0, 70, 254, 167878},
        {"Avatar/Body/breath-1.csv", Kind::Breath, Shape::Steady, Glide::None, 7.0, 40, 180, 0},
        {"Avatar/Body/breath-2.csv", Kind::Breath, Shape::Steady, Glide::None, 8.0, 35, 160, 0},
        {"Avatar/Body/chills.csv", Kind::LfoNoise, Shape::Steady, Glide::None, 3.0, 90, 300, 0},
        {"Avatar/Body/heartbeat-1.csv", Kind::Heartbeat, Shape::Steady, Glide::None, 5.0, 20, 110, 0},
        {"Avatar/Body/heartbeat-2.csv", Kind::Heartbeat, Shape::Steady, Glide::None, 6.0, 25, 120, 0},
        {"Avatar/Body/jump-1.csv", Kind::Impact, Shape::Decay, Glide::None, 0.5, 30, 180, 0},
        {"Avatar/Body/jump-2.csv", Kind::Impact, Shape::Decay, Glide::None, 0.6, 28, 160, 0},
        {"Avatar/Body/wound-1.csv", Kind::Impact, Shape::Decay, Glide::None, 1.2, 40, 220, 0},
        {"Avatar/Body/wound-2.csv", Kind::Impact, Shape::Decay, Glide::None, 1.5, 35, 200, 0},
        {"Avatar/Contacts/bite-1.csv", Kind::Impact, Shape::Decay, Glide::None, 0.35, 60, 300, 0},
        {"Avatar/Contacts/bite-2.csv", Kind::Impact, Shape::Decay, Glide::None, 0.4, 55, 280, 0},
        {"Avatar/Contacts/bullet-1.csv", Kind::Impact, Shape::Decay, Glide::None, 0.25, 0, 160, 0},
        {"Avatar/Contacts/bullet-2.csv", Kind::Impact, Shape::Decay, Glide::None, 0, 0, 145, 1535},
        {"Avatar/Contacts/cut-1.csv", Kind::Impact, Shape::Decay, Glide::None, 0.3, 90, 380, 0},
        {"Avatar/Contacts/cut-2.csv", Kind::Impact, Shape::Decay, Glide::None, 0.35, 85, 360, 0},
        {"Avatar/Contacts/energical-injury-in.csv", Kind::LfoTone, Shape::FadeIn, Glide::Up, 1.5, 80, 260, 0},
        {"Avatar/Contacts/energical-injury-loop.csv", Kind::LfoTone, Shape::Steady, Glide::None, 4.0, 80, 260, 0},
        {"Avatar/Contacts/energical-injury-out.csv", Kind::LfoTone, Shape::FadeOut, Glide::Down, 1.5, 80, 260, 0},
        {"Avatar/Contacts/punch-1.csv", Kind::Impact, Shape::Decay, Glide::None, 0.3, 20, 150, 0},
        {"Avatar/Contacts/punch-2.csv", Kind::Impact, Shape::Decay, Glide::None, 0.35, 25, 160, 0},
        {"Avatar/Contacts/punch-3.csv", Kind::Impact, Shape::Decay, Glide::None, 0.4, 22, 140, 0},
        {"Avatar/Contacts/stabbing-1.csv", Kind::Impact, Shape::Decay, Glide::None, 0.4, 70, 320, 0},
        {"Avatar/Contacts/stabbing-2.csv", Kind::Impact, Shape::Decay, Glide::None, 0.45, 65, 300, 0},
        {"Avatar/Contacts/touch-1.csv", Kind::Noise, Shape::Swell, Glide::None, 0.6, 40, 150, 0},
        {"Avatar/Contacts/touch-2.csv", Kind::Noise, Shape::Swell, Glide::None, 0.8, 45, 160, 0},
        {"Avatar/Items/ammo-1.csv", Kind::Repeats, Shape::Steady, Glide::None, 0.5, 100, 350, 0},
        {"Avatar/Items/ammo-2.csv", Kind::Repeats, Shape::Steady, Glide::None, 0.6, 95, 340, 0},
        {"Avatar/Items/coin-1.csv", Kind::Beeps, Shape::Steady, Glide::Up, 0.5, 212, 400, 0},
        {"Avatar/Items/coin-2.csv", Kind::Beeps, Shape::Steady, Glide::Up, 0.6, 180, 390, 0},
        {"Avatar/Items/gear-1.csv", Kind::Repeats, Shape::Steady, Glide::None, 0.7, 70, 300, 0},
        {"Avatar/Items/gear-2.csv", Kind::Repeats, Shape::Steady, Glide::None, 0.8, 65, 280, 0},
        {"Avatar/Items/life-health-1.csv", Kind::Beeps, Shape::Steady, Glide::Up, 1.2, 120, 320, 0},
        {"Avatar/Items/life-health-2.csv", Kind::Beeps, Shape::Steady, Glide::Up, 1.4, 110, 300, 0},
        {"Avatar/Items/mana-1.csv", Kind::Sweep, Shape::Swell, Glide::Up, 1.0, 100, 330, 0},
        {"Avatar/Items/mana-2.csv", Kind::Sweep, Shape::Swell, Glide::Up, 1.2, 95, 320, 0},
        {"Avatar/Items/point-1.csv", Kind::Beeps, Shape::Steady, Glide::Up, 0.3, 160, 380, 0},
        {"Avatar/Items/point-2.csv", Kind::Beeps, Shape::Steady, Glide::Up, 0.35, 150, 370, 0},
        {"Avatar/Items/weapon-1.csv", Kind::Impact, Shape::Decay, Glide::None, 0.6, 50, 260, 0},
        {"Avatar/Items/weapon-2.csv", Kind::Impact, Shape::Decay, Glide::None, 0.7, 45, 250, 0},
        {"Avatar/Notices/achievement-1.csv", Kind::Beeps, Shape::Steady, Glide::Up, 1.5, 100, 350, 0},
        {"Avatar/Notices/achievement-2.csv", Kind::Beeps, Shape::Steady, Glide::Up, 1.8, 95, 340, 0},
        {"Avatar/Notices/achievement-3.csv", Kind::Beeps, Shape::Steady, Glide::Up, 2.0, 90, 330, 0},
        {"Avatar/Notices/levelup-1.csv", Kind::Sweep, Shape::Swell, Glide::Up, 2.0, 80, 360, 0},
        {"Avatar/Notices/levelup-2.csv", Kind::Sweep, Shape::Swell, Glide::Up, 2.2, 75, 350, 0},
        {"Avatar/Notices/levelup-3.csv", Kind::Sweep, Shape::Swell, Glide::Up, 2.5, 70, 340, 0},
        {"Avatar/Notices/newgear-1.csv", Kind::Beeps, Shape::Steady, Glide::Down, 1.0, 110, 330, 0},
        {"Avatar/Notices/newgear-2.csv", Kind::Beeps, Shape::Steady, Glide::Down, 1.1, 105, 320, 0},
        {"Avatar/Notices/newgear-3.csv", Kind::Beeps, Shape::Steady, Glide::Down, 1.2, 100, 310, 0},
        {"Avatar/States/biohazard.csv", Kind::LfoNoise, Shape::Steady, Glide::None, 6.0, 40, 200, 0},
        {"Avatar/States/blockage-(loop).csv", Kind::LfoTone, Shape::Steady, Glide::None, 5.0, 30, 120, 0},
        {"Avatar/States/burning-(intro).csv", Kind::Noise, Shape::FadeIn, Glide::None, 1.5, 60, 280, 0},
        {"Avatar/States/burning-(loop).csv", Kind::Noise, Shape::Steady, Glide::None, 6.0, 60, 280, 0},
        {"Avatar/States/burning-(outro).csv", Kind::Noise, Shape::FadeOut, Glide::None, 1.5, 60, 280, 0},
        {"Avatar/States/cursed-(loop).csv", Kind::LfoTone, Shape::Steady, Glide::None, 6.0, 35, 150, 0},
        {"Avatar/States/deaf-(intro).csv", Kind::Tone, Shape::FadeIn, Glide::None, 1.0, 40, 90, 0},
        {"Avatar/States/deaf-(loop).csv", Kind::Tone, Shape::Steady, Glide::None, 5.0, 40, 90, 0},
        {"Avatar/States/deaf-(outro).csv", Kind::Tone, Shape::FadeOut, Glide::None, 1.0, 40, 90, 0},
        {"Avatar/States/disoriented-(loop).csv", Kind::LfoTone, Shape::Steady, Glide::None, 6.0, 50, 200, 0},
        {"Avatar/States/healing.csv", Kind::Sweep, Shape::Swell, Glide::Up, 2.5, 90, 300, 0},
        {"Avatar/States/injured.csv", Kind::Heartbeat, Shape::Steady, Glide::None, 5.0, 25, 130, 0},
        {"Avatar/States/madness.csv", Kind::LfoNoise, Shape::Steady, Glide::None, 6.0, 50, 260, 0},
        {"Avatar/States/poison.csv", Kind::LfoNoise, Shape::Steady, Glide::None, 5.0, 45, 220, 0},
        {"Avatar/States/rage-(loop).csv", Kind::Harmonic, Shape::Steady, Glide::None, 5.0, 40, 240, 0},
        {"Cinematic/air-normal.csv", Kind::Noise, Shape::Steady, Glide::None, 8.0, 50, 250, 0},
        {"Cinematic/air-thin.csv", Kind::Noise, Shape::Steady, Glide::None, 8.0, 90, 300, 0},
        {"Cinematic/bass-drum.csv", Kind::Impact, Shape::Decay, Glide::None, 0.6, 25, 120, 0},
        {"Cinematic/boom-beat.csv", Kind::Impact, Shape::Decay, Glide::None, 1.0, 20, 110, 0},
        {"Cinematic/crash-percussive.csv", Kind::Impact, Shape::Decay, Glide::None, 1.5, 60, 380, 0},
        {"Cinematic/crash-swell.csv", Kind::Noise, Shape::FadeIn, Glide::None, 2.5, 55, 360, 0},
        {"Cinematic/drum-rolls.csv", Kind::Repeats, Shape::Steady, Glide::None, 2.0, 40, 200, 0},
        {"Cinematic/floor-tom.csv", Kind::Impact, Shape::Decay, Glide::None, 0.8, 35, 150, 0},
        {"Cinematic/gong.csv", Kind::Impact, Shape::Decay, Glide::None, 4.0, 40, 200, 0},
        {"Cinematic/low-drop-rattle.csv", Kind::Sweep, Shape::FadeOut, Glide::Down, 2.0, 25, 160, 0},
        {"Cinematic/low-drop-slick.csv", Kind::Sweep, Shape::FadeOut, Glide::Down, 1.8, 25, 140, 0},
        {"Cinematic/low-vibration.csv", Kind::Tone, Shape::Steady, Glide::None, 0, 21, 46, 30574},
        {"Cinematic/medium-vibration.csv", Kind::Tone, Shape::Steady, Glide::None, 4.0, 50, 110, 0},
        {"Cinematic/ride-swell.csv", Kind::Noise, Shape::FadeIn, Glide::None, 3.0, 120, 400, 0},
        {"Cinematic/riser-lfo.csv", Kind::LfoTone, Shape::FadeIn, Glide::Up, 4.0, 50, 260, 0},
        {"Cinematic/riser-rattle.csv", Kind::Sweep, Shape::FadeIn, Glide::Up, 4.0, 45, 250, 0},
        {"Cinematic/rumble.csv", Kind::Noise, Shape::Steady, Glide::None, 8.0, 20, 90, 0},
        {"Cinematic/snare.csv", Kind::Impact, Shape::Decay, Glide::None, 0.5, 90, 380, 0},
        {"Cinematic/sting.csv", Kind::Impact, Shape::Decay, Glide::None, 1.2, 70, 330, 0},
        {"Cinematic/tension.csv", Kind::LfoNoise, Shape::Swell, Glide::Up, 8.0, 30, 150, 0},
        {"Cinematic/whoosh.csv", Kind::Noise, Shape::Swell, Glide::None, 1.5, 50, 280, 0},
        {"Earth/cracking.csv", Kind::Grains, Shape::Swell, Glide::None, 3.0, 60, 320, 0},
        {"Earth/earthquake.csv", Kind::Noise, Shape::Swell, Glide::None, 16.0, 15, 90, 0},
        {"Earth/rockslide.csv", Kind::Grains, Shape::Swell, Glide::None, 8.0, 30, 220, 0},
        {"Earth/volcano-eruption.csv", Kind::Noise, Shape::Swell, Glide::None, 0, 52, 208, 262070},
        {"Electrical/buzz.csv", Kind::Harmonic, Shape::Steady, Glide::None, 4.0, 100, 400, 0},
        {"Electrical/electrocution-1.csv", Kind::LfoNoise, Shape::Steady, Glide::None, 2.0, 80, 380, 0},
        {"Electrical/electrocution-2.csv", Kind::LfoNoise, Shape::Steady, Glide::None, 2.5, 75, 370, 0},
        {"Electrical/shock-arcs.csv", Kind::Grains, Shape::Steady, Glide::None, 3.0, 90, 400, 0},
        {"Electrical/spark.csv", Kind::Impact, Shape::Decay, Glide::None, 0.2, 150, 410, 0},
        {"Electrical/thunderbolt-big.csv", Kind::Impact, Shape::Decay, Glide::None, 4.0, 20, 260, 0},
        {"Electrical/thunderbolt-medium.csv", Kind::Impact, Shape::Decay, Glide::None, 2.5, 30, 280, 0},
        {"Electrical/zap-1.csv", Kind::Impact, Shape::Decay, Glide::None, 0.25, 120, 400, 0},
        {"Electrical/zap-2.csv", Kind::Impact, Shape::Decay, Glide::None, 0.3, 110, 390, 0},
        {"Electrical/zap-3.csv", Kind::Impact, Shape::Decay, Glide::None, 0.35, 100, 380, 0},
        {"Electrical/zap-4.csv", Kind::Impact, Shape::Decay, Glide::None, 0.4, 90, 370, 0},
        {"Essentials/click-medium.csv", Kind::Click, Shape::Decay, Glide::None, 0, 0, 301, 106},
        {"Essentials/click-resonant-1.csv", Kind::Click, Shape::Decay, Glide::None, 0.06, 60, 180, 0},
        {"Essentials/click-resonant-2.csv", Kind::Click, Shape::Decay, Glide::None, 0.07, 80, 220, 0},
        {"Essentials/click-resonant-3.csv", Kind::Click, Shape::Decay, Glide::None, 0.08, 100, 260, 0},
        {"Essentials/click-rough-1.csv", Kind::Click, Shape::Decay, Glide::None, 0.05, 0, 350, 0},
        {"Essentials/click-rough-2.csv", Kind::Click, Shape::Decay, Glide::None, 0.05, 0, 419, 0},
        {"Essentials/decelerating-lfo.csv", Kind::LfoTone, Shape::Steady, Glide::Down, 4.0, 60, 180, 0},
        {"Essentials/down-lfo-noise.csv", Kind::LfoNoise, Shape::Steady, Glide::Down, 4.0, 50, 250, 0},
        {"Essentials/down-lfo-sine.csv", Kind::LfoTone, Shape::Steady, Glide::Down, 4.0, 80, 200, 0},
        {"Essentials/down-particles.csv", Kind::Grains, Shape::Steady, Glide::Down, 4.0, 60, 320, 0},
        {"Essentials/noise.csv", Kind::Noise, Shape::Steady, Glide::None, 4.0, 40, 400, 0},
        {"Essentials/particles-dense.csv", Kind::Grains, Shape::Steady, Glide::None, 4.0, 60, 350, 0},
        {"Essentials/particles-rare.csv", Kind::Grains, Shape::Steady, Glide::None, 4.0, 60, 350, 0},
        {"Essentials/PWM-down.csv", Kind::Pwm, Shape::Steady, Glide::Down, 4.0, 40, 320, 0},
        {"Essentials/PWM-up.csv", Kind::Pwm, Shape::Steady, Glide::Up, 4.0, 40, 320, 0},
        {"Essentials/sine.csv", Kind::Tone, Shape::Steady, Glide::None, 0, 160, 180, 3057},
        {"Essentials/up-lfo-noise.csv", Kind::LfoNoise, Shape::Steady, Glide::Up, 4.0, 50, 250, 0},
        {"Essentials/up-particles.csv", Kind::Grains, Shape::Steady, Glide::Up, 4.0, 60, 320, 0},
        {"Fire/airblow.csv", Kind::Noise, Shape::Swell, Glide::None, 2.5, 40, 220, 0},
        {"Fire/blast-1.csv", Kind::Impact, Shape::Decay, Glide::None, 1.5, 20, 200, 0},
        {"Fire/blast-2.csv", Kind::Impact, Shape::Decay, Glide::None, 1.8, 22, 190, 0},
        {"Fire/cracks.csv", Kind::Grains, Shape::Steady, Glide::None, 4.0, 80, 350, 0},
        {"Fire/deepcombustion.csv", Kind::Noise, Shape::Steady, Glide::None, 8.0, 20, 120, 0},
        {"Fire/explosion-1.csv", Kind::Impact, Shape::Decay, Glide::None, 2.5, 15, 180, 0},
        {"Fire/explosion-2.csv", Kind::Impact, Shape::Decay, Glide::None, 3.0, 18, 170, 0},
        {"Fire/explosion-3.csv", Kind::Impact, Shape::Decay, Glide::None, 3.5, 16, 160, 0},
        {"Fire/ignition.csv", Kind::Noise, Shape::FadeIn, Glide::None, 1.5, 50, 300, 0},
        {"Fire/spark.csv", Kind::Impact, Shape::Decay, Glide::None, 0.3, 140, 400, 0},
        {"Materials/collision-metal-1.csv", Kind::Impact, Shape::Decay, Glide::None, 0.8, 150, 400, 0},
        {"Materials/collision-metal-2.csv", Kind::Impact, Shape::Decay, Glide::None, 1.0, 140, 390, 0},
        {"Materials/collision-plastic-1.csv", Kind::Impact, Shape::Decay, Glide::None, 0, 112, 272, 499},
        {"Materials/collision-plastic-2.csv", Kind::Impact, Shape::Decay, Glide::None, 0.08, 110, 280, 0},
        {"Materials/collision-plastic-3.csv", Kind::Impact, Shape::Decay, Glide::None, 0.1, 105, 270, 0},
        {"Materials/collision-plastic-4.csv", Kind::Impact, Shape::Decay, Glide::None, 0.12, 100, 260, 0},
        {"Materials/collision-rubber-1.csv", Kind::Impact, Shape::Decay, Glide::None, 0.2, 30, 120, 0},
        {"Materials/collision-rubber-2.csv", Kind::Impact, Shape::Decay, Glide::None, 0.25, 28, 110, 0},
        {"Materials/collision-wood-1.csv", Kind::Impact, Shape::Decay, Glide::None, 0.2, 80, 300, 0},
        {"Materials/collision-wood-2.csv", Kind::Impact, Shape::Decay, Glide::None, 0.25, 75, 290, 0},
        {"Materials/cracking-wood.csv", Kind::Grains, Shape::Swell, Glide::None, 3.0, 70, 320, 0},
        {"Materials/friction-metal.csv", Kind::Noise, Shape::Steady, Glide::None, 3.0, 120, 400, 0},
        {"Materials/friction-plastic.csv", Kind::Noise, Shape::Steady, Glide::None, 3.0, 90, 340, 0},
        {"Materials/friction-rubber.csv", Kind::Noise, Shape::Steady, Glide::None, 3.0, 40, 180, 0},
        {"Materials/friction-wood.csv", Kind::Noise, Shape::Steady, Glide::None, 3.0, 70, 300, 0},
        {"Mechanics/engine-1.csv", Kind::Harmonic, Shape::Steady, Glide::None, 6.0, 30, 200, 0},
        {"Mechanics/engine-2.csv", Kind::Harmonic, Shape::Steady, Glide::None, 6.0, 35, 220, 0},
        {"Mechanics/engine-3.csv", Kind::Harmonic, Shape::Steady, Glide::None, 6.0, 40, 240, 0},
        {"Mechanics/pump.csv", Kind::Repeats, Shape::Steady, Glide::None, 4.0, 25, 150, 0},
        {"Mechanics/scratch-1.csv", Kind::LfoNoise, Shape::Swell, Glide::None, 1.0, 100, 380, 0},
        {"Mechanics/scratch-2.csv", Kind::LfoNoise, Shape::Swell, Glide::None, 1.2, 95, 370, 0},
        {"Mechanics/translate-1.csv", Kind::Noise, Shape::Swell, Glide::None, 2.0, 40, 200, 0},
        {"Mechanics/translate-2.csv", Kind::Noise, Shape::Swell, Glide::None, 2.5, 45, 210, 0},
        {"Mechanics/zip-1.csv", Kind::Grains, Shape::Swell, Glide::Up, 0.8, 100, 380, 0},
        {"Mechanics/zip-2.csv", Kind::Grains, Shape::Swell, Glide::Down, 0.9, 95, 370, 0},
        {"Spells/comet.csv", Kind::Sweep, Shape::FadeOut, Glide::Down, 3.0, 40, 300, 0},
        {"Spells/overdrive.csv", Kind::Harmonic, Shape::Swell, Glide::None, 3.0, 60, 350, 0},
        {"Spells/pulse.csv", Kind::LfoTone, Shape::Steady, Glide::None, 3.0, 60, 200, 0},
        {"Spells/shackles.csv", Kind::Repeats, Shape::Steady, Glide::None, 2.0, 80, 350, 0},
        {"Supernatural/desintegration.csv", Kind::Grains, Shape::FadeOut, Glide::Down, 4.0, 60, 350, 0},
        {"Supernatural/energy-burst-1.csv", Kind::Impact, Shape::Decay, Glide::None, 1.5, 40, 300, 0},
        {"Supernatural/energy-burst-2.csv", Kind::Impact, Shape::Decay, Glide::None, 1.8, 35, 290, 0},
        {"Supernatural/magic-spell-1.csv", Kind::Sweep, Shape::Swell, Glide::Up, 2.0, 80, 330, 0},
        {"Supernatural/magic-spell-2.csv", Kind::Sweep, Shape::Swell, Glide::Down, 2.2, 75, 320, 0},
        {"Supernatural/materialisation.csv", Kind::Grains, Shape::FadeIn, Glide::Up, 4.0, 60, 340, 0},
        {"Supernatural/teleportation.csv", Kind::Sweep, Shape::Swell, Glide::Up, 2.0, 50, 350, 0},
        {"Supernatural/time-freeze.csv", Kind::Sweep, Shape::FadeOut, Glide::Down, 2.5, 40, 250, 0},
        {"Supernatural/time-travel.csv", Kind::LfoNoise, Shape::Swell, Glide::Up, 5.0, 40, 300, 0},
        {"Supernatural/time-warp.csv", Kind::LfoTone, Shape::Swell, Glide::Down, 4.0, 40, 260, 0},
        {"UI-Notifications/advice.csv", Kind::Beeps, Shape::Steady, Glide::Up, 0.8, 120, 300, 0},
        {"UI-Notifications/alarm.csv", Kind::Beeps, Shape::Steady, Glide::None, 3.0, 150, 400, 0},
        {"UI-Notifications/error.csv", Kind::Beeps, Shape::Steady, Glide::Down, 0.6, 60, 200, 0},
        {"UI-Notifications/message.csv", Kind::Beeps, Shape::Steady, Glide::Up, 0.5, 140, 320, 0},
        {"UI-Notifications/query.csv", Kind::Beeps, Shape::Steady, Glide::Up, 0.6, 130, 310, 0},
        {"UI-Notifications/reminder.csv", Kind::Beeps, Shape::Steady, Glide::None, 1.0, 120, 320, 0},
        {"UI-Notifications/success.csv", Kind::Beeps, Shape::Steady, Glide::Up, 0.8, 140, 360, 0},
        {"UI-Notifications/timer.csv", Kind::Repeats, Shape::Steady, Glide::None, 3.0, 100, 300, 0},
        {"UI-Notifications/warning.csv", Kind::Beeps, Shape::Steady, Glide::Down, 1.2, 80, 260, 0},
        {"Water/boiling.csv", Kind::Grains, Shape::Steady, Glide::None, 6.0, 50, 260, 0},
        {"Water/dive-1.csv", Kind::Sweep, Shape::Decay, Glide::Down, 1.5, 30, 200, 0},
        {"Water/dive-2.csv", Kind::Sweep, Shape::Decay, Glide::Down, 1.8, 28, 190, 0},
        {"Water/freeze.csv", Kind::Grains, Shape::FadeOut, Glide::Down, 2.0, 100, 380, 0},
        {"Water/rain-flow-heavy.csv", Kind::Grains, Shape::Steady, Glide::None, 8.0, 50, 320, 0},
        {"Water/rain-flow-light.csv", Kind::Grains, Shape::Steady, Glide::None, 8.0, 80, 380, 0},
        {"Water/splash-1.csv", Kind::Impact, Shape::Decay, Glide::None, 0.8, 40, 300, 0},
        {"Water/splash-2.csv", Kind::Impact, Shape::Decay, Glide::None, 1.0, 35, 280, 0},
        {"Weapons/machinegun-1.csv", Kind::Repeats, Shape::Steady, Glide::None, 3.0, 25, 220, 0},
        {"Weapons/machinegun-2.csv", Kind::Repeats, Shape::Steady, Glide::None, 3.5, 28, 230, 0},
        {"Weapons/pistol-1.csv", Kind::Impact, Shape::Decay, Glide::None, 0.4, 30, 250, 0},
        {"Weapons/pistol-2.csv", Kind::Impact, Shape::Decay, Glide::None, 0.45, 32, 260, 0},
        {"Weapons/rifle-1.csv", Kind::Impact, Shape::Decay, Glide::None, 0.6, 25, 240, 0},
        {"Weapons/rifle-2.csv", Kind::Impact, Shape::Decay, Glide::None, 0.7, 26, 230, 0},
        {"Weapons/shotgun-1.csv", Kind::Impact, Shape::Decay, Glide::None, 0.8, 20, 200, 0},
        {"Weapons/shotgun-2.csv", Kind::Impact, Shape::Decay, Glide::None, 0.9, 22, 210, 0},
        {"Weapons/smg-1.csv", Kind::Repeats, Shape::Steady, Glide::None, 2.0, 30, 250, 0},
        {"Weapons/smg-2.csv", Kind::Repeats, Shape::Steady, Glide::None, 2.5, 32, 260, 0},
        {"Weapons/sniper-1.csv", Kind::Impact, Shape::Decay, Glide::None, 1.0, 20, 220, 0},
        {"Weapons/sniper-2.csv", Kind::Impact, Shape::Decay, Glide::None, 1.2, 22, 230, 0},
    };
    return specs;
}

std::vector<uint64_t> catalogueCounts() {
    const std::vector<WaveformSpec>& specs = catalogue();
    if (specs.size() != kWaveformCount) throw std::logic_error("catalogue size");

    uint64_t fixedTotal = 0;
    uint64_t shortest = UINT64_MAX;
    uint64_t longest = 0;
    uint64_t intendedTotal = 0;
    std::vector<uint64_t> intended(specs.size(), 0);
    for (std::size_t i = 0; i < specs.size(); ++i) {
        if (specs[i].fixedCount != 0) {
            fixedTotal += specs[i].fixedCount;
            shortest = std::min(shortest, specs[i].fixedCount);
            longest = std::max(longest, specs[i].fixedCount);
        } else {
            intended[i] = static_cast<uint64_t>(std::llround(specs[i].seconds * kRateHz));
            intendedTotal += intended[i];
        }
    }
    if (fixedTotal >= kTotalSamples || intendedTotal == 0)
        throw std::logic_error("catalogue lengths");

    // Scale the intended lengths to the samples left, in integers so that
    // every build gets the same counts: floor first, then one more sample to
    // the largest remainders (lower index first on ties).
    const uint64_t target = kTotalSamples - fixedTotal;
    std::vector<uint64_t> counts(specs.size(), 0);
    std::vector<uint64_t> remainders(specs.size(), 0);
    uint64_t assigned = 0;
    for (std::size_t i = 0; i < specs.size(); ++i) {
        if (specs[i].fixedCount != 0) {
            counts[i] = specs[i].fixedCount;
            continue;
        }
        counts[i] = intended[i] * target / intendedTotal;
        remainders[i] = intended[i] * target % intendedTotal;
        assigned += counts[i];
    }
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < specs.size(); ++i)
        if (specs[i].fixedCount == 0) order.push_back(i);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return remainders[a] > remainders[b];
    });
    for (std::size_t k = 0; assigned < target; ++k, ++assigned) ++counts[order.at(k)];

    for (std::size_t i = 0; i < specs.size(); ++i)
        if (specs[i].fixedCount == 0 && (counts[i] <= shortest || counts[i] >= longest))
            throw std::logic_error(std::string("length out of range: ") + specs[i].name);
    if (std::accumulate(counts.begin(), counts.end(), uint64_t{0}) != kTotalSamples)
        throw std::logic_error("catalogue total");
    return counts;
}

} // namespace waveforms
