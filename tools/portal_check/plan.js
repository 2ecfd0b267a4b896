'use strict';
// The other run's plan, in the run without what IE11 lacks (run_page.js with
// strip): the events the run that plans writes as it fires them, heard on
// stdin, and fired here in the same order as they come.

// The events of the other run's plan that this one fires at most: what its
// planning fires at most (events.js), the page's own stdout lines aside.
const PLANNED_MAX = 300;
// How far, in ms, the other run may lag behind this one, beyond its waits
// and its budget.
const PLAN_SLACK = 2000;

// The other run's plan as it comes: next() resolves to its next event, or
// to null at its end, at the end of stdin, after PLANNED_MAX events or past
// `until`; ended tells whether its plan line came.
function plannedEvents() {
  return {
    entries: [],
    taken: 0,
    closed: false,
    ended: false,
    until: 0,
    wake: () => {},
    push(entry) {
      if (this.closed) return;
      this.entries.push(entry);
      this.wake();
    },
    close(ended) {
      this.ended = this.ended || (ended && !this.closed);
      this.closed = true;
      this.wake();
    },
    async next() {
      while (!this.entries.length && !this.closed && Date.now() < this.until) {
        await new Promise((resolve) => {
          this.wake = resolve;
          setTimeout(resolve, this.until - Date.now());
        });
      }
      if (!this.entries.length || this.taken >= PLANNED_MAX) return null;
      this.taken += 1;
      return this.entries.shift();
    },
    // The other run may load later than this one, and then wait and fire: past
    // this, no more of its events are waited for.
    expect(input) {
      this.until = Date.now() + (2 * (input.wait || 0) + (input.budget || 0)) * 1000 + PLAN_SLACK;
    },
    // A planned line of the other run's: page code can write on its stdout,
    // so only a well-formed event is taken.
    hear(entry) {
      const target = entry.target;
      if (!(Number.isInteger(target) && target >= 0) && target !== 'window' &&
          target !== 'document') return;
      if (typeof entry.type === 'string' && typeof entry.selector === 'string') {
        this.push({ target: target, type: entry.type, selector: entry.selector });
      }
    },
  };
}

module.exports = { plannedEvents };
