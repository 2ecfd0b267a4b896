// The portal's settings, as the page shows them.
export class Settings {
  constructor(title) {
    this.title = title;
  }

  shown() {
    return { title: this.title + ' news' };
  }
}
